#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"

namespace tarnel::core {

// Creates a private directory (and any missing parents) under the vault root.
// An existing directory is left exactly as it is; only a newly made last
// component is set to 0700. Anything else under the name, a symbolic link
// included, is refused as not a directory.
Result<void> ensure_dir(const std::filesystem::path& path);
// The same for the vault root itself, which may be a link to a directory.
Result<void> ensure_root(const std::filesystem::path& path);

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

// Why a file could not be read whole by read_regular_file.
struct FileReadError {
    enum class Kind { Absent, NotRegular, TooLarge, Os } kind;
    int err = 0;  // for Os
    // "not a regular file", "larger than {max} bytes", or the OS text.
    std::string text(std::size_t max_size) const;
};

// Reads `name` (relative to dir_fd; AT_FDCWD for a plain path) whole, as
// read_whole does, provided it is a regular file of at most max_size bytes.
// It is opened without following a final symbolic link and without
// blocking, so a link or a FIFO planted under the name is refused rather than
// followed or waited on, and nothing is allocated for an oversized file.
std::optional<FileReadError> read_regular_file(int dir_fd, const char* name, std::size_t max_size, std::size_t padding,
                                               std::vector<std::uint8_t>& out, std::size_t& size);

// Makes renames, links and removals inside the directory durable.
Result<void> sync_dir(const std::filesystem::path& path);

// The path between double quotes with control characters, quotes, backslashes
// and bytes that are not UTF-8 escaped, so any name prints unambiguously.
std::string quoted_path(const std::filesystem::path& path);

}  // namespace tarnel::core
