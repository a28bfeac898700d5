#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/model/coordinate.hpp"
#include "core/keys/crypto.hpp"
#include "core/base/error.hpp"
#include "core/store/fs.hpp"
#include "core/keys/master_key.hpp"
#include "core/model/record.hpp"

namespace tarnel::core {

// A record file is "TARN", a u32 little-endian version, then the sealed JSON.
inline constexpr std::uint32_t kRecordFrameVersion = 1;
inline constexpr std::size_t kRecordFrameHeaderBytes = 8;

// Larger record files are refused unread: a 1 MiB value, the largest a
// session writes, makes a file of about 15 MiB.
inline constexpr std::size_t kMaxRecordFileBytes = 32 * 1024 * 1024;

// <dir>/<storage-id>.sec
Result<std::filesystem::path> record_path(const std::filesystem::path& dir, const Coordinate& coordinate);

std::string frame(const SealedRecord& sealed);
Result<SealedRecord> unframe(std::span<const std::uint8_t> bytes);

// Replaces the record atomically, keeping the previous version as .sec.bak.
// The record path always holds a complete version, even while concurrent
// writers of the same record race (each uses its own temporary file).
Result<void> write_record(const std::filesystem::path& dir, const Coordinate& coordinate, const SealedRecord& sealed);
// Absent when the record file cannot be stat-ed.
Result<std::optional<SecretRecord>> read_record(const std::filesystem::path& dir, const Coordinate& coordinate,
                                                const MasterKey& key);
// Succeeds when there is nothing to delete; the backup is kept.
Result<void> delete_record(const std::filesystem::path& dir, const Coordinate& coordinate);

struct LoadedRecord {
    std::string stem;  // the storage id for files this store wrote
    SecretRecord record;
};

struct LoadFailure {
    std::string stem;
    std::string error;  // the display text of the failure
};

struct LoadedVault {
    std::vector<LoadedRecord> records;
    std::vector<LoadFailure> failures;
};

// Opens every *.sec file in the directory, in listing order. A file that cannot
// be read or opened is reported and never hides the others; a missing
// directory gives two empty lists.
Result<LoadedVault> load_all(const std::filesystem::path& dir, const MasterKey& key);

}  // namespace tarnel::core
