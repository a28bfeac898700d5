#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace tarnel::core {

// Creates a private directory (and any missing parents). An existing path is
// left exactly as it is; only a newly made last component is set to 0700.
Result<void> ensure_dir(const std::filesystem::path& path);

// Sets a file's permission bits, e.g. 0600.
Result<void> restrict(const std::filesystem::path& path, mode_t mode);

// Flushes a file to stable storage: fsync on Linux, F_FULLFSYNC on macOS
// (whose fsync stops at the drive's cache). Returns 0 or the errno value.
int full_sync(int fd) noexcept;

// Writes every byte, retrying after interruptions. Returns 0 or the errno value.
int write_all(int fd, std::string_view bytes) noexcept;

// Reads an open file from its current offset to the end into `out`, retrying
// after interruptions. `padding` zero bytes follow the content, for readers
// that look a few bytes ahead; `size` gets
// the content's length. Returns 0 or the errno value.
int read_whole(int fd, std::vector<std::uint8_t>& out, std::size_t padding, std::size_t& size);

// Makes renames, links and removals inside the directory durable.
Result<void> sync_dir(const std::filesystem::path& path);

// The path between double quotes with control characters, quotes, backslashes
// and bytes that are not UTF-8 escaped, so any name prints unambiguously.
std::string quoted_path(const std::filesystem::path& path);

}  // namespace tarnel::core
