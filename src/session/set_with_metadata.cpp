// set with the metadata of the record it creates, in one write, so a new
// record never exists with the wrong level or description.

#include <string>
#include <utility>

#include "core/store/store.hpp"
#include "session/arguments.hpp"
#include "session/session.hpp"
#include "session/writes.hpp"

namespace tarnel::session {

SessionResult<std::optional<RecordView>> Session::create_literal(const WriteTarget& target, core::SecretValue& value,
                                                                 const LiteralMetadata& metadata,
                                                                 core::Sensitivity asked, OptText project) const {
    const auto& [at, dir, path] = target;
    auto lock = lock_for_create(root_, key_, dir, at);
    if (!lock) return fail(std::move(lock.error()));
    auto current = core::read_record(dir, at, key_);
    if (!current) return std::unexpected(std::move(current.error()));
    if (current->has_value()) return std::optional<RecordView>();
    const std::string now = clock_->now_rfc3339();
    const core::SecretRecord record{
        core::LiteralRecord{std::move(value)},
        core::RecordMetadata{
            .sensitivity = core::born_sensitivity(at, asked),
            .revealable = metadata.revealable.value_or(false),
            .environment = env_of(at),
            .component = at.component(),
            .key = at.key(),
            .description = metadata.description ? std::optional<std::string>(*metadata.description) : std::nullopt,
            .created = now,
            .updated = now,
        }};
    if (auto written = seal_and_write(dir, at, record, key_); !written) return fail(std::move(written.error()));
    audit(core::AuditAction::Create, "created", path, env_of(at));
    return std::optional<RecordView>(view_of(record, project));
}

SessionResult<RecordView> Session::set_with_metadata(std::string_view coordinate, core::SecretValue value,
                                                     const LiteralMetadata& metadata, OptText project) const {
    if (metadata.empty()) return set(coordinate, std::move(value), project);
    auto target = write_target(coordinate, project);
    if (!target) return fail(std::move(target.error()));
    if (value.size() > kMaxValueBytes) {
        return fail(SessionError::other("value must be at most " + std::to_string(kMaxValueBytes) + " bytes"));
    }
    auto asked = creation_sensitivity(metadata.sensitivity, metadata.description);
    if (!asked) return fail(std::move(asked.error()));
    auto created = create_literal(*target, value, metadata, *asked, project);
    if (!created || created->has_value()) {
        if (!created) return std::unexpected(std::move(created.error()));
        return std::move(**created);
    }
    // An existing record: set takes the lock again, and a downgrade may wait on a human.
    auto replaced = set(coordinate, std::move(value), project);
    if (!replaced) return replaced;
    return edit_metadata(coordinate, metadata.sensitivity, metadata.description, metadata.revealable, std::nullopt,
                         project);
}

}  // namespace tarnel::session
