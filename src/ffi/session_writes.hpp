#pragma once

// Pieces shared by the operations that change a vault or ask for a change:
// set, generate, delete, edit_metadata and request_intake.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/coordinate.hpp"
#include "core/master_key.hpp"
#include "core/record.hpp"
#include "core/record_lock.hpp"
#include "core/scope.hpp"
#include "ffi/ffi_error.hpp"
#include "ffi/session.hpp"

namespace tarnel::ffi {

// A concrete coordinate that the scope lets this session write in the target
// vault. Out of scope reads exactly like absent, and nothing is audited.
FfiResult<core::Coordinate> write_gate(const core::AgentScope& scope, std::string_view coordinate,
                                       OptText project);

// The canonical path written into audit events and confirmation requests.
// Taken before anything is written, so no failure can follow a write.
FfiResult<std::string> canonical_of(const core::Coordinate& at);

// Seals the record with the vault key and replaces its file.
FfiResult<void> seal_and_write(const std::filesystem::path& dir, const core::Coordinate& at,
                               const core::SecretRecord& record, const core::MasterKey& key);

// The record's lock for an operation that may create the record: the vault
// directory is made first, as the write would make it anyway.
FfiResult<core::RecordLock> lock_for_create(const std::filesystem::path& dir,
                                            const core::Coordinate& coordinate);

// The record's lock for an operation on an existing record; none when the
// vault directory does not exist, since then neither does the record, and
// making the directory would leave an empty vault behind.
FfiResult<std::optional<core::RecordLock>> lock_existing(const std::filesystem::path& dir,
                                                         const core::Coordinate& coordinate);

}  // namespace tarnel::ffi
