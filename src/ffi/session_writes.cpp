// Writes: set, generate and delete. Each runs its read and its write under the
// record's lock, so two writers of one record, in this process or another,
// never act on a version the other has already replaced.

#include "ffi/session_writes.hpp"

#include <sodium.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

#include "core/crypto.hpp"
#include "core/fs.hpp"
#include "core/store.hpp"

namespace tarnel::ffi {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
static_assert(kAlphabet.size() == 62);

bool sodium_ready() noexcept {
    static const bool ready = ::sodium_init() >= 0;
    return ready;
}

// Uniform over the alphabet: a draw whose top six bits would index past it
// (62 or 63, i.e. the top five bits all set) is thrown away, never folded.
FfiResult<core::SecretValue> random_value(std::uint64_t length) {
    if (!sodium_ready()) return std::unexpected(FfiError(core::CoreError::crypto()));
    core::SecretValue value = core::SecretValue::zeroed(length);
    std::span<std::uint8_t> out = value.expose_secret_mut();
    std::array<std::uint32_t, 64> draws{};
    std::size_t filled = 0;
    while (filled < out.size()) {
        ::randombytes_buf(draws.data(), sizeof draws);
        for (const std::uint32_t draw : draws) {
            if ((draw >> 27) == 31) continue;
            out[filled++] = static_cast<std::uint8_t>(kAlphabet[draw >> 26]);
            if (filled == out.size()) break;
        }
    }
    // The draws determine the value, so they are as secret as it is.
    ::sodium_memzero(draws.data(), sizeof draws);
    return value;
}

// The level a new record is born with: production starts high whatever was asked.
core::Sensitivity born_sensitivity(const core::Coordinate& at, core::Sensitivity asked) {
    return env_of(at) == "prod" ? core::Sensitivity::High : asked;
}

core::SecretRecord new_literal(const core::Coordinate& at, core::SecretValue value,
                               core::Sensitivity sensitivity, OptText description,
                               const std::string& now) {
    return core::SecretRecord{
        core::LiteralRecord{std::move(value)},
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
core::SecretRecord replaced_literal(const core::SecretRecord& old, const core::Coordinate& at,
                                    core::SecretValue value, const std::string& now) {
    core::RecordMetadata meta = old.meta;
    meta.environment = env_of(at);
    meta.component = at.component();
    meta.key = at.key();
    meta.updated = now;
    return core::SecretRecord{core::LiteralRecord{std::move(value)}, std::move(meta)};
}

std::optional<std::string> set_refusal(const core::SecretRecord& record, std::string_view coordinate) {
    if (std::holds_alternative<core::KeypairRecord>(record.kind)) {
        return "`" + std::string(coordinate) + "` is a keypair; it cannot be overwritten with `set`";
    }
    if (std::holds_alternative<core::TotpRecord>(record.kind)) {
        return "`" + std::string(coordinate) + "` is a TOTP enrollment; it cannot be overwritten with `set`";
    }
    return std::nullopt;
}

FfiResult<std::optional<core::SecretRecord>> read_current(const fs::path& dir, const core::Coordinate& at,
                                                          const core::MasterKey& key) {
    auto current = core::read_record(dir, at, key);
    if (!current) return std::unexpected(FfiError(std::move(current.error())));
    return std::move(*current);
}

}  // namespace

FfiResult<core::Coordinate> write_gate(const core::AgentScope& scope, std::string_view coordinate,
                                       OptText project) {
    auto at = parse_concrete(coordinate);
    if (!at) return std::unexpected(std::move(at.error()));
    if (!scope.permits(core::Operation::Write)) return std::unexpected(FfiError::not_found());
    if (!scope.addresses(*at, project)) return std::unexpected(FfiError::not_found());
    return std::move(*at);
}

FfiResult<std::string> canonical_of(const core::Coordinate& at) {
    auto path = at.canonical_path();
    if (!path) return std::unexpected(FfiError(std::move(path.error())));
    return std::move(*path);
}

FfiResult<void> seal_and_write(const fs::path& dir, const core::Coordinate& at, const core::SecretRecord& record,
                               const core::MasterKey& key) {
    auto sealed = core::seal(record, key);
    if (!sealed) return std::unexpected(FfiError(std::move(sealed.error())));
    if (auto written = core::write_record(dir, at, *sealed); !written) {
        return std::unexpected(FfiError(std::move(written.error())));
    }
    return {};
}

FfiResult<core::RecordLock> lock_for_create(const fs::path& dir, const core::Coordinate& coordinate) {
    if (auto made = core::ensure_dir(dir); !made) return std::unexpected(FfiError(std::move(made.error())));
    auto lock = core::RecordLock::acquire(dir, coordinate);
    if (!lock) return std::unexpected(FfiError(std::move(lock.error())));
    return std::move(*lock);
}

FfiResult<std::optional<core::RecordLock>> lock_existing(const fs::path& dir, const core::Coordinate& coordinate) {
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0) return std::optional<core::RecordLock>();
    auto lock = core::RecordLock::acquire(dir, coordinate);
    if (!lock) return std::unexpected(FfiError(std::move(lock.error())));
    return std::optional<core::RecordLock>(std::move(*lock));
}

FfiResult<Session::WriteTarget> Session::write_target(std::string_view coordinate,
                                                     OptText project) const {
    auto at = write_gate(scope_, coordinate, project);
    if (!at) return std::unexpected(std::move(at.error()));
    auto dir = target_dir(project);
    if (!dir) return std::unexpected(std::move(dir.error()));
    auto path = canonical_of(*at);
    if (!path) return std::unexpected(std::move(path.error()));
    return WriteTarget{std::move(*at), std::move(*dir), std::move(*path)};
}

FfiResult<RecordView> Session::set(std::string_view coordinate, core::SecretValue value, OptText project) const {
    auto target = write_target(coordinate, project);
    if (!target) return std::unexpected(std::move(target.error()));
    const auto& [at, dir, path] = *target;

    auto lock = lock_for_create(dir, at);
    if (!lock) return std::unexpected(std::move(lock.error()));
    auto current = read_current(dir, at, key_);
    if (!current) return std::unexpected(std::move(current.error()));

    const std::string now = clock_.now_rfc3339();
    const bool exists = current->has_value();
    if (exists) {
        if (auto refusal = set_refusal(**current, coordinate)) {
            return std::unexpected(FfiError::other(std::move(*refusal)));
        }
    }
    core::SecretRecord record =
        exists ? replaced_literal(**current, at, std::move(value), now)
               : new_literal(at, std::move(value), born_sensitivity(at, core::Sensitivity::Medium), std::nullopt, now);
    if (auto written = seal_and_write(dir, at, record, key_); !written) {
        return std::unexpected(std::move(written.error()));
    }

    // Audited before the lock is dropped, so the log orders writes of one
    // record as they happened.
    if (exists) {
        audit(core::AuditAction::Edit, "value-updated", path, env_of(at));
    } else {
        audit(core::AuditAction::Create, "created", path, env_of(at));
    }
    return view_of(record, project);
}

FfiResult<RecordView> Session::generate(std::string_view coordinate, std::uint64_t length, OptText sensitivity,
                                        OptText description, OptText project) const {
    auto target = write_target(coordinate, project);
    if (!target) return std::unexpected(std::move(target.error()));
    const auto& [at, dir, path] = *target;
    if (length == 0) return std::unexpected(FfiError::other("length must be at least 1"));

    // Held from the existence check to the write: two generates of one
    // coordinate cannot both find it free.
    auto lock = lock_for_create(dir, at);
    if (!lock) return std::unexpected(std::move(lock.error()));
    auto current = read_current(dir, at, key_);
    if (!current) return std::unexpected(std::move(current.error()));
    if (current->has_value()) return std::unexpected(FfiError::other("`" + std::string(coordinate) + "` already exists"));

    core::Sensitivity asked = core::Sensitivity::Medium;
    if (sensitivity) {
        auto parsed = parse_sensitivity(*sensitivity);
        if (!parsed) return std::unexpected(std::move(parsed.error()));
        asked = *parsed;
    }
    auto value = random_value(length);
    if (!value) return std::unexpected(std::move(value.error()));

    const core::SecretRecord record =
        new_literal(at, std::move(*value), born_sensitivity(at, asked), description, clock_.now_rfc3339());
    if (auto written = seal_and_write(dir, at, record, key_); !written) {
        return std::unexpected(std::move(written.error()));
    }
    audit(core::AuditAction::Create, "generated", path, env_of(at));
    return view_of(record, project);
}

FfiResult<void> Session::remove(std::string_view coordinate, OptText project) const {
    auto target = write_target(coordinate, project);
    if (!target) return std::unexpected(std::move(target.error()));
    const auto& [at, dir, path] = *target;

    auto lock = lock_existing(dir, at);
    if (!lock) return std::unexpected(std::move(lock.error()));
    if (!*lock) return std::unexpected(FfiError::not_found());
    // Read first: only a record this session's key opens may be deleted.
    auto current = read_current(dir, at, key_);
    if (!current) return std::unexpected(std::move(current.error()));
    if (!current->has_value()) return std::unexpected(FfiError::not_found());

    if (auto deleted = core::delete_record(dir, at); !deleted) {
        return std::unexpected(FfiError(std::move(deleted.error())));
    }
    // The lock file goes with the record when the guard is released.
    audit(core::AuditAction::Delete, "deleted", path, env_of(at));
    return {};
}

}  // namespace tarnel::ffi
