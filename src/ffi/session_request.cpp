// request_intake: an agent asks a human to create a secret. It names only
// where the secret should live; no value passes through here, the vault's
// records are neither read nor written, and nothing is audited.

#include <string>
#include <utility>

#include "core/intake.hpp"
#include "ffi/session.hpp"
#include "ffi/session_writes.hpp"

namespace tarnel::ffi {

FfiResult<std::string> Session::request_intake(std::string_view coordinate, OptText sensitivity,
                                               OptText description, OptText project,
                                               OptText requesting_process) const {
    // The scope comes before the sensitivity word: an out-of-scope request
    // learns nothing, not even that its word was wrong.
    auto at = write_gate(scope_, coordinate, project);
    if (!at) return std::unexpected(std::move(at.error()));
    core::Sensitivity wanted = core::Sensitivity::Medium;
    if (sensitivity) {
        auto parsed = parse_sensitivity(*sensitivity);
        if (!parsed) return std::unexpected(std::move(parsed.error()));
        wanted = *parsed;
    }

    // The coordinate as the agent wrote it: the human sees the request unaltered.
    core::PendingIntake intake =
        core::PendingIntake(coordinate, wanted, env_of(*at), core::Actor::Agent).with_project(origin_for(project));
    if (description) intake = std::move(intake).with_description(*description);
    if (requesting_process) intake = std::move(intake).with_requesting_process(*requesting_process);

    // Identifiers come from a process-wide counter, so a broker made per call
    // never reuses one within a second.
    auto stored = core::IntakeBroker::under_root(root_).create(std::move(intake));
    if (!stored) return std::unexpected(FfiError(std::move(stored.error())));
    return std::move(stored->id);
}

}  // namespace tarnel::ffi
