// Writes: set, generate and delete. Each runs its read and its write under the
// record's lock, so two writers of one record, in this process or another,
// never act on a version the other has already replaced.

#include "session/writes.hpp"
#include "session/passphrase_change.hpp"

#include <sys/stat.h>

#include <string>
#include <utility>

#include "core/keys/crypto.hpp"
#include "core/store/fs.hpp"
#include "core/keys/random.hpp"
#include "core/store/store.hpp"
#include "session/arguments.hpp"
#include "session/session.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

core::SecretRecord new_literal(const core::Coordinate& at, core::SecretValue value, core::Sensitivity sensitivity,
                               OptText description, const std::string& now) {
    return core::SecretRecord{core::LiteralRecord{std::move(value)},
                              core::RecordMetadata{
                                  .sensitivity = sensitivity,
                                  .revealable = false,
                                  .environment = env_of(at),
                                  .component = at.component(),
                                  .key = at.key(),
                                  .description = description ? std::optional<std::string>(*description) : std::nullopt,
                                  .created = now,
                                  .updated = now,
                              }};
}

// set over an existing literal or reference: a literal with the new value that
// keeps the old record's level, flag, description and creation time.
core::SecretRecord replaced_literal(const core::SecretRecord& old, const core::Coordinate& at, core::SecretValue value,
                                    const std::string& now) {
    core::RecordMetadata meta = old.meta;
    meta.environment = env_of(at);
    meta.component = at.component();
    meta.key = at.key();
    meta.updated = now;
    return core::SecretRecord{core::LiteralRecord{std::move(value)}, std::move(meta)};
}

SessionResult<std::optional<core::SecretRecord>> read_current(const fs::path& dir, const core::Coordinate& at,
                                                              const core::MasterKey& key) {
    return core::read_record(dir, at, key);
}

}  // namespace

SessionResult<void> seal_and_write(const fs::path& dir, const core::Coordinate& at, const core::SecretRecord& record,
                                   const core::MasterKey& key) {
    auto sealed = core::seal(record, key);
    if (!sealed) return std::unexpected(std::move(sealed.error()));
    return core::write_record(dir, at, *sealed);
}

SessionResult<WriteLock> lock_for_create(const fs::path& root, const core::MasterKey& key, const fs::path& dir,
                                         const core::Coordinate& at) {
    auto held = hold_key_for_writing(root, key);
    if (!held) return std::unexpected(std::move(held.error()));
    if (auto made = core::ensure_dir(dir); !made) return std::unexpected(std::move(made.error()));
    auto lock = core::RecordLock::acquire(dir, at);
    if (!lock) return std::unexpected(std::move(lock.error()));
    return WriteLock{std::move(*held), std::move(*lock)};
}

SessionResult<std::optional<WriteLock>> lock_existing(const fs::path& root, const core::MasterKey& key,
                                                      const fs::path& dir, const core::Coordinate& at) {
    struct stat info{};
    if (::stat(dir.c_str(), &info) != 0) return std::optional<WriteLock>();
    auto held = hold_key_for_writing(root, key);
    if (!held) return std::unexpected(std::move(held.error()));
    auto lock = core::RecordLock::acquire(dir, at);
    if (!lock) return std::unexpected(std::move(lock.error()));
    return std::optional<WriteLock>(WriteLock{std::move(*held), std::move(*lock)});
}

SessionResult<Session::WriteTarget> Session::write_target(std::string_view coordinate, OptText project) const {
    auto at = parse_concrete(coordinate);
    if (!at) return fail(std::move(at.error()));
    // Out of scope reads exactly like absent, and nothing is audited.
    if (decide(core::Operation::Write, *at, project).kind != core::PolicyDecision::Kind::Allow) {
        return fail(SessionError::not_found());
    }
    fs::path dir = registry_.global_dir();
    if (project) {
        auto checked = registry_.checked_project_dir(*project);
        if (!checked) return std::unexpected(std::move(checked.error()));
        dir = std::move(*checked);
    }
    // Taken before anything is written, so no failure can follow a write.
    auto path = at->canonical_path();
    if (!path) return std::unexpected(std::move(path.error()));
    return WriteTarget{std::move(*at), std::move(dir), std::move(*path)};
}

SessionResult<RecordView> Session::set(std::string_view coordinate, core::SecretValue value, OptText project) const {
    auto target = write_target(coordinate, project);
    if (!target) return fail(std::move(target.error()));
    const auto& [at, dir, path] = *target;
    if (value.size() > kMaxValueBytes) {
        return fail(SessionError::other("value must be at most " + std::to_string(kMaxValueBytes) + " bytes"));
    }

    auto lock = lock_for_create(root_, key_, dir, at);
    if (!lock) return fail(std::move(lock.error()));
    auto current = read_current(dir, at, key_);
    if (!current) return fail(std::move(current.error()));

    const std::string now = clock_->now_rfc3339();
    const bool exists = current->has_value();
    if (exists) {
        if (auto refusal = core::overwrite_refusal((*current)->kind, coordinate)) {
            return fail(SessionError::other(std::move(*refusal)));
        }
    }
    const core::SecretRecord record =
        exists ? replaced_literal(**current, at, std::move(value), now)
               : new_literal(at, std::move(value), core::born_sensitivity(at, core::Sensitivity::Medium), std::nullopt,
                             now);
    if (auto written = seal_and_write(dir, at, record, key_); !written) return fail(std::move(written.error()));

    // Audited before the lock is dropped, so the log orders writes of one
    // record as they happened.
    if (exists) {
        audit(core::AuditAction::Edit, "value-updated", path, env_of(at));
    } else {
        audit(core::AuditAction::Create, "created", path, env_of(at));
    }
    return view_of(record, project);
}

SessionResult<RecordView> Session::generate(std::string_view coordinate, std::uint64_t length, OptText sensitivity,
                                            OptText description, OptText project) const {
    auto target = write_target(coordinate, project);
    if (!target) return fail(std::move(target.error()));
    const auto& [at, dir, path] = *target;
    if (length == 0) return fail(SessionError::other("length must be at least 1"));
    // Refused before anything is allocated for the value.
    if (length > kMaxGeneratedLength) {
        return fail(SessionError::other("length must be at most " + std::to_string(kMaxGeneratedLength)));
    }
    if (auto sized = check_size("description", description, kMaxDescriptionBytes); !sized) {
        return fail(std::move(sized.error()));
    }
    if (auto sized = check_size("sensitivity", sensitivity, kMaxWordBytes); !sized) {
        return fail(std::move(sized.error()));
    }

    // Held from the existence check to the write: two generates of one
    // coordinate cannot both find it free.
    auto lock = lock_for_create(root_, key_, dir, at);
    if (!lock) return fail(std::move(lock.error()));
    auto current = read_current(dir, at, key_);
    if (!current) return fail(std::move(current.error()));
    if (current->has_value()) return fail(SessionError::other("`" + std::string(coordinate) + "` already exists"));

    auto asked = sensitivity_or(sensitivity, core::Sensitivity::Medium);
    if (!asked) return fail(std::move(asked.error()));
    auto value = core::random_alphanumeric(length);
    if (!value) return std::unexpected(std::move(value.error()));

    const core::SecretRecord record =
        new_literal(at, std::move(*value), core::born_sensitivity(at, *asked), description, clock_->now_rfc3339());
    if (auto written = seal_and_write(dir, at, record, key_); !written) return fail(std::move(written.error()));
    audit(core::AuditAction::Create, "generated", path, env_of(at));
    return view_of(record, project);
}

SessionResult<void> Session::remove(std::string_view coordinate, OptText project) const {
    auto target = write_target(coordinate, project);
    if (!target) return fail(std::move(target.error()));
    const auto& [at, dir, path] = *target;

    auto lock = lock_existing(root_, key_, dir, at);
    if (!lock) return fail(std::move(lock.error()));
    if (!*lock) return fail(SessionError::not_found());
    // Read first: only a record this session's key opens may be deleted.
    auto current = read_current(dir, at, key_);
    if (!current) return fail(std::move(current.error()));
    if (!current->has_value()) return fail(SessionError::not_found());

    if (auto deleted = core::delete_record(dir, at); !deleted) return std::unexpected(std::move(deleted.error()));
    // The lock file goes with the record when the guard is released.
    audit(core::AuditAction::Delete, "deleted", path, env_of(at));
    return {};
}

}  // namespace tarnel::session
