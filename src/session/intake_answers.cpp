// The owner's answers to intake requests. The value of a fulfilled request
// comes from the owner, never from the request; the request only says where
// the secret goes and how it is described.

#include "session/intake_answers.hpp"

#include <string>
#include <utility>

#include "core/oversight/audit.hpp"
#include "core/model/policy.hpp"
#include "core/store/store.hpp"
#include "session/arguments.hpp"
#include "session/confirmation_answers.hpp"
#include "session/session.hpp"
#include "session/writes.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

// The coordinate the request names, with the environment it claims: a
// planted file that says prod in one place and dev in the other is refused.
SessionResult<core::Coordinate> coordinate_of(const core::PendingIntake& intake) {
    auto at = parse_concrete(intake.coordinate);
    if (!at) return fail(std::move(at.error()));
    if (env_of(*at) != intake.environment) {
        return fail(SessionError::other("intake " + intake.id + " names environment `" + intake.environment +
                                        "` for a coordinate in another"));
    }
    return std::move(*at);
}

std::string audited_coordinate(const core::PendingIntake& intake) {
    auto at = core::Coordinate::from_str(intake.coordinate);
    if (at) {
        if (auto path = at->canonical_path()) return std::move(*path);
    }
    return intake.coordinate;
}

}  // namespace

SessionResult<core::IntakeList> list_intakes(const fs::path& root) {
    auto listed = core::IntakeInbox::under_root(root).list();
    if (!listed) return std::unexpected(std::move(listed.error()));
    return std::move(*listed);
}

SessionResult<core::PendingIntake> intake_to_answer(const fs::path& root, const core::RequestId& id) {
    auto found = core::IntakeInbox::under_root(root).find(id);
    if (!found) {
        return fail(SessionError::other("intake " + id.text() + " is unreadable: " + found.error().display()));
    }
    if (!*found) return fail(SessionError::not_found());
    if (auto at = coordinate_of(**found); !at) return fail(std::move(at.error()));
    return std::move(**found);
}

SessionResult<core::PendingIntake> reject_intake(const fs::path& root, const core::RequestId& id,
                                                 const core::Clock& clock) {
    // A malformed request may be rejected too: it is removed all the same.
    const auto inbox = core::IntakeInbox::under_root(root);
    auto found = inbox.find(id);
    std::optional<core::PendingIntake> intake;
    if (found && *found) intake = std::move(**found);
    auto removed = inbox.remove(id);
    if (!removed) return std::unexpected(std::move(removed.error()));
    if (!*removed) return fail(SessionError::not_found());
    if (!intake) return fail(SessionError::other("removed intake " + id.text() + ", which was unreadable"));

    auto event = core::AuditEvent(clock.now_rfc3339(), core::AuditAction::Deny, "intake-rejected")
                     .at(audited_coordinate(*intake), intake->environment)
                     .by(core::Actor::Human);
    (void)core::FileAuditSink::under_root(root).record(event);
    return std::move(*intake);
}

SessionResult<RecordView> Session::fulfil_intake(const core::PendingIntake& shown, core::SecretValue value) const {
    if (auto at = coordinate_of(shown); !at) return fail(std::move(at.error()));
    const core::PendingIntake* intake = &shown;
    // Answered or rejected meanwhile: nothing to fulfil.
    const auto id = core::RequestId::parse(shown.id);
    if (!id) return fail(SessionError::not_found());
    auto still = core::IntakeInbox::under_root(root_).find(*id);
    if (still && !*still) return fail(SessionError::not_found());
    const OptText project = intake->project ? OptText(*intake->project) : std::nullopt;
    auto target = write_target(intake->coordinate, project);
    if (!target) return fail(std::move(target.error()));
    const auto& [at, dir, path] = *target;
    if (value.size() > kMaxValueBytes) {
        return fail(SessionError::other("value must be at most " + std::to_string(kMaxValueBytes) + " bytes"));
    }
    if (auto sized = check_size("description", intake->description, kMaxDescriptionBytes); !sized) {
        return fail(std::move(sized.error()));
    }

    auto lock = lock_for_create(root_, key_, dir, at);
    if (!lock) return fail(std::move(lock.error()));
    auto current = core::read_record(dir, at, key_);
    if (!current) return std::unexpected(std::move(current.error()));
    // The request asked for a new secret; replacing one in its name would
    // let an agent have a value swapped that it never saw.
    if (current->has_value()) {
        return fail(SessionError::other("`" + path + "` already exists" +
                                        (project ? " in project " + std::string(*project) : std::string()) +
                                        "; replace it with `tarnel set` or reject the request"));
    }
    const std::string now = clock_->now_rfc3339();
    const core::SecretRecord record{core::LiteralRecord{std::move(value)},
                                    core::RecordMetadata{
                                        .sensitivity = core::born_sensitivity(at, intake->sensitivity),
                                        .revealable = false,
                                        .environment = env_of(at),
                                        .component = at.component(),
                                        .key = at.key(),
                                        .description = intake->description,
                                        .created = now,
                                        .updated = now,
                                    }};
    if (auto written = seal_and_write(dir, at, record, key_); !written) return fail(std::move(written.error()));
    audit(core::AuditAction::Create, "intake-fulfilled", path, env_of(at));

    auto removed = core::IntakeInbox::under_root(root_).remove(*id);
    if (!removed) {
        return fail(
            SessionError::other("created `" + path + "`, but the intake file stays: " + removed.error().display()));
    }
    return view_of(record, project);
}

}  // namespace tarnel::session
