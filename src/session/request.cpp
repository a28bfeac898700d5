// request_intake: the caller asks a human to create a secret. It names only
// where the secret should live; no value passes through here, the vault's
// records are neither read nor written, and nothing is audited.

#include <string>
#include <utility>

#include "core/oversight/intake.hpp"
#include "core/store/registry.hpp"
#include "session/arguments.hpp"
#include "session/session.hpp"

namespace tarnel::session {

SessionResult<std::string> Session::request_intake(std::string_view coordinate, OptText sensitivity,
                                                   OptText description, OptText project,
                                                   OptText requesting_process) const {
    auto at = parse_concrete(coordinate);
    if (!at) return fail(std::move(at.error()));
    // The scope comes before the sensitivity word: an out-of-scope request
    // learns nothing, not even that its word was wrong.
    if (decide(core::Operation::Write, *at, project).kind != core::PolicyDecision::Kind::Allow) {
        return fail(SessionError::not_found());
    }
    // An empty name files the request without a project; any other must be a
    // name the vault could hold, as for a write.
    if (project && !project->empty()) {
        if (auto checked = core::check_project_name(*project); !checked)
            return std::unexpected(std::move(checked.error()));
    }
    auto wanted = sensitivity_or(sensitivity, core::Sensitivity::Medium);
    if (!wanted) return fail(std::move(wanted.error()));
    if (auto sized = check_size("description", description, kMaxDescriptionBytes); !sized) {
        return fail(std::move(sized.error()));
    }
    if (auto sized = check_size("client_identity", requesting_process, kMaxProcessBytes); !sized) {
        return fail(std::move(sized.error()));
    }

    // The coordinate as the caller wrote it: the human sees the request unaltered.
    core::PendingIntake intake =
        core::PendingIntake(coordinate, *wanted, env_of(*at), principal_.actor).with_project(origin_for(project));
    if (description) intake = std::move(intake).with_description(*description);
    if (requesting_process) intake = std::move(intake).with_requesting_process(*requesting_process);

    // Identifiers come from a process-wide counter, so a broker made per call
    // never reuses one within a second.
    auto stored = core::IntakeBroker::under_root(root_, *clock_).create(std::move(intake));
    if (!stored) return std::unexpected(std::move(stored.error()));
    return std::move(stored->id);
}

}  // namespace tarnel::session
