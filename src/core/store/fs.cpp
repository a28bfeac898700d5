#include "core/store/fs.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "core/base/fd.hpp"
#include "core/base/os_error.hpp"
#include "core/codec/utf8.hpp"

namespace tarnel::core {

namespace {

std::string octal(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(mode));
    return text;
}

// Creates the directory and its missing parents, the last one 0700.
Result<void> create_private_dir(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return fail(ErrorKind::Io, "create " + quoted_path(path) + ": " + os_error_text(ec.value()));
    return restrict(path, 0700);
}

// An existing directory is kept as it is, a missing one made private; any
// other file under the name is refused.
Result<void> ensure_directory(const std::filesystem::path& path, bool follow_link) {
    struct stat info{};
    if ((follow_link ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) == 0) {
        if (S_ISDIR(info.st_mode)) return {};
        return fail(ErrorKind::Io, "create " + quoted_path(path) + ": " + os_error_text(ENOTDIR));
    }
    return create_private_dir(path);
}

}  // namespace

// Not followed: a link planted under the vault root must not send writes elsewhere.
Result<void> ensure_dir(const std::filesystem::path& path) { return ensure_directory(path, false); }

// The root itself may be a link to where the owner keeps the vault.
Result<void> ensure_root(const std::filesystem::path& path) { return ensure_directory(path, true); }

int write_all(int fd, std::string_view bytes) noexcept {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

int read_whole(int fd, std::vector<std::uint8_t>& out, std::size_t padding, std::size_t& size) {
    // A regular file's size is taken as its whole content (the vault's files
    // are replaced by rename, never grown in place), which saves the read
    // that would only find the end; anything else is read until the end.
    struct stat info{};
    if (::fstat(fd, &info) != 0) return errno;
    const bool sized = S_ISREG(info.st_mode);
    const auto expected = sized ? static_cast<std::size_t>(info.st_size) : std::size_t{0};
    size = 0;
    out.resize(expected + padding + 1);
    while (!sized || size < expected) {
        if (out.size() - size <= padding) out.resize(2 * out.size() + padding);
        const ssize_t n = ::read(fd, out.data() + size, out.size() - size - padding);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        size += static_cast<std::size_t>(n);
    }
    // Zeroed so that a reader looking ahead into the padding sees the same
    // bytes whatever an earlier, longer read left in a reused buffer.
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(size),
              out.begin() + static_cast<std::ptrdiff_t>(size + padding), std::uint8_t{0});
    return 0;
}

std::string FileReadError::text(std::size_t max_size) const {
    switch (kind) {
        case Kind::Absent: return os_error_text(ENOENT);
        case Kind::NotRegular: return "not a regular file";
        case Kind::TooLarge: return "larger than " + std::to_string(max_size) + " bytes";
        case Kind::Os: break;
    }
    return os_error_text(err);
}

std::optional<FileReadError> read_regular_file(int dir_fd, const char* name, std::size_t max_size, std::size_t padding,
                                               std::vector<std::uint8_t>& out, std::size_t& size) {
    using Kind = FileReadError::Kind;
    UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return FileReadError{Kind::Absent};
        if (errno == ELOOP) return FileReadError{Kind::NotRegular};
        return FileReadError{Kind::Os, errno};
    }
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0) return FileReadError{Kind::Os, errno};
    if (!S_ISREG(info.st_mode)) return FileReadError{Kind::NotRegular};
    if (static_cast<std::uintmax_t>(info.st_size) > max_size) return FileReadError{Kind::TooLarge};
    if (const int err = read_whole(fd.get(), out, padding, size); err != 0) return FileReadError{Kind::Os, err};
    return std::nullopt;
}

Result<void> restrict(const std::filesystem::path& path, mode_t mode) {
    if (::chmod(path.c_str(), mode) != 0) {
        return fail(ErrorKind::Io, "chmod " + octal(mode) + ": " + os_error_text(errno));
    }
    return {};
}

int full_sync(int fd) noexcept {
#if defined(__APPLE__)
    int rc;
    do {
        rc = ::fcntl(fd, F_FULLFSYNC);
    } while (rc == -1 && errno == EINTR);
#else
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc == -1 && errno == EINTR);
#endif
    return rc == 0 ? 0 : errno;
}

Result<void> sync_dir(const std::filesystem::path& path) {
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return fail(ErrorKind::Io, "open dir: " + os_error_text(errno));
    if (const int err = full_sync(dir.get()); err != 0) {
        return fail(ErrorKind::Io, "fsync dir: " + os_error_text(err));
    }
    return {};
}

std::string quoted_path(const std::filesystem::path& path) {
    const std::string& raw = path.native();
    std::string out = "\"";
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t length = utf8_sequence_length(raw, i);
        const unsigned char c = static_cast<unsigned char>(raw[i]);
        char hex[16];
        if (length == 0) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(raw, i, length);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\0') {
            out += "\\0";
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(hex, sizeof hex, "\\u{%x}", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
        i += length;
    }
    out += '"';
    return out;
}

}  // namespace tarnel::core
