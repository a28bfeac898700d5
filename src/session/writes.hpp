#pragma once

// Pieces shared by the operations that change a vault: set, generate, delete
// and edit_metadata.

#include <filesystem>
#include <optional>

#include "core/model/coordinate.hpp"
#include "core/keys/master_key.hpp"
#include "core/model/record.hpp"
#include "core/base/fd.hpp"
#include "core/store/record_lock.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

// Seals the record with the vault key and replaces its file.
SessionResult<void> seal_and_write(const std::filesystem::path& dir, const core::Coordinate& at,
                                   const core::SecretRecord& record, const core::MasterKey& key);

// What a write holds until it is done: the root's key lock, shared (a
// passphrase change takes it exclusively), with the key it seals with checked
// under it, then the record's own lock.
struct WriteLock {
    core::UniqueFd key;
    core::RecordLock record;
};

// The locks for an operation that may create the record: the vault
// directory is made first, as the write would make it anyway.
SessionResult<WriteLock> lock_for_create(const std::filesystem::path& root, const core::MasterKey& key,
                                         const std::filesystem::path& dir, const core::Coordinate& at);

// The locks for an operation on an existing record; none when the vault
// directory does not exist, since then neither does the record, and making
// the directory would leave an empty vault behind.
SessionResult<std::optional<WriteLock>> lock_existing(const std::filesystem::path& root, const core::MasterKey& key,
                                                      const std::filesystem::path& dir, const core::Coordinate& at);

}  // namespace tarnel::session
