// Import of a dotenv file: one literal per variable, all or none. Every
// target is checked first; lowerings of existing records are asked next, so
// a refusal comes before any value is written; then the values are written.

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/model/policy.hpp"
#include "core/store/store.hpp"
#include "session/arguments.hpp"
#include "session/session.hpp"

namespace tarnel::session {

namespace {

// The error of one variable's step, naming its line and coordinate; a denial
// stays a denial.
SessionError at_line(std::size_t line, const std::string& coordinate, const SessionError& error) {
    const std::string text =
        "line " + std::to_string(line) + ": `" + coordinate + "`: " +
        (std::holds_alternative<SessionError::NotFound>(error.kind()) ? std::string("not found") : error.message());
    if (std::holds_alternative<SessionError::Denied>(error.kind())) return SessionError::denied(text);
    return SessionError::other(text);
}

constexpr std::string_view kNothing = "; nothing was imported";

}  // namespace

SessionResult<std::vector<Imported>> Session::import_literals(std::vector<core::DotenvEntry> entries,
                                                              const ImportPlan& plan) const {
    auto asked = creation_sensitivity(plan.sensitivity, std::nullopt);
    if (!asked) return fail(std::move(asked.error()));

    struct Step {
        std::string coordinate;
        WriteTarget target;
        bool exists = false;
        bool lowers = false;
    };
    std::vector<Step> steps;
    steps.reserve(entries.size());
    for (const auto& entry : entries) {
        std::string coordinate =
            "secret:" + std::string(plan.environment) + "/" + std::string(plan.component) + "/" + entry.name;
        auto target = write_target(coordinate, plan.project);
        if (!target) return fail(at_line(entry.line, coordinate, target.error()));
        if (entry.value.size() > kMaxValueBytes) {
            return fail(SessionError::other("line " + std::to_string(entry.line) + ": the value of " + entry.name +
                                            " is larger than " + std::to_string(kMaxValueBytes) + " bytes" +
                                            std::string(kNothing)));
        }
        auto current = core::read_record(target->dir, target->at, key_);
        if (!current) return fail(at_line(entry.line, coordinate, current.error()));
        Step step{std::move(coordinate), std::move(*target), current->has_value(), false};
        if (step.exists && !plan.replace) {
            return fail(SessionError::other("line " + std::to_string(entry.line) + ": `" + step.coordinate +
                                            "` already exists" + std::string(kNothing)));
        }
        step.lowers = step.exists && plan.sensitivity &&
                      core::downgrade_needs_confirmation((*current)->meta.sensitivity,
                                                         core::born_sensitivity(step.target.at, *asked));
        steps.push_back(std::move(step));
    }

    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (!steps[i].lowers) continue;
        auto lowered = edit_metadata(steps[i].coordinate, plan.sensitivity, std::nullopt, std::nullopt, std::nullopt,
                                     plan.project);
        if (!lowered) {
            auto error = at_line(entries[i].line, steps[i].coordinate, lowered.error());
            return fail(std::holds_alternative<SessionError::Denied>(error.kind())
                            ? SessionError::denied(error.message() + std::string(kNothing))
                            : SessionError::other(error.message() + std::string(kNothing)));
        }
    }

    const LiteralMetadata metadata{.sensitivity = plan.sensitivity, .description = std::nullopt, .revealable = {}};
    std::vector<Imported> imported;
    imported.reserve(steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        auto& entry = entries[i];
        const auto& step = steps[i];
        if (step.exists) {
            auto replaced = set_with_metadata(step.coordinate, std::move(entry.value), metadata, plan.project);
            if (!replaced) return fail(at_line(entry.line, step.coordinate, replaced.error()));
            imported.push_back(Imported{std::move(*replaced), true});
            continue;
        }
        auto created = create_literal(step.target, entry.value, metadata, *asked, plan.project);
        if (!created) return fail(at_line(entry.line, step.coordinate, created.error()));
        // Another writer got there between the check and this write: its
        // record stays, and so does what was imported before it.
        if (!created->has_value()) {
            return fail(
                SessionError::other("line " + std::to_string(entry.line) + ": `" + step.coordinate +
                                    "` was created meanwhile; it and the variables after it were not imported"));
        }
        imported.push_back(Imported{std::move(**created), false});
    }
    return imported;
}

}  // namespace tarnel::session
