#include "session/runtime_dir.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>

#include "core/base/fd.hpp"
#include "core/base/os_error.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

// sun_path holds 108 bytes with the terminating zero.
constexpr std::size_t kMaxSocketPath = sizeof(sockaddr_un::sun_path) - 1;

SessionResult<void> refuse(const fs::path& path, std::string_view why) {
    return fail(
        SessionError::other(fmt::format("refusing {} for the unlocked server's sockets: {}", path.string(), why)));
}

// Checks the directory itself, never what a link there points to.
SessionResult<void> check_private_dir(const fs::path& dir) {
    struct stat info{};
    if (::lstat(dir.c_str(), &info) != 0) return refuse(dir, core::os_error_text(errno));
    if (S_ISLNK(info.st_mode)) return refuse(dir, "it is a symbolic link");
    if (!S_ISDIR(info.st_mode)) return refuse(dir, "it is not a directory");
    if (info.st_uid != ::geteuid()) return refuse(dir, "another user owns it");
    if ((info.st_mode & 077) != 0)
        return refuse(dir, fmt::format("others may enter it (mode {:o})", info.st_mode & 0777));
    return {};
}

SessionResult<void> make_private_dir(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail(SessionError::other(fmt::format("creating {}: {}", dir.string(), core::os_error_text(errno))));
    }
    return check_private_dir(dir);
}

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

SessionResult<void> check_socket_file(const fs::path& path) {
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return {};
        return refuse(path, core::os_error_text(errno));
    }
    if (S_ISLNK(info.st_mode)) return refuse(path, "it is a symbolic link");
    if (!S_ISSOCK(info.st_mode)) return refuse(path, "it is not a socket");
    if (info.st_uid != ::geteuid()) return refuse(path, "another user owns it");
    return {};
}

}  // namespace

SessionResult<void> check_server_name(std::string_view name) {
    if (name.empty() || name.size() > 32 || !std::all_of(name.begin(), name.end(), name_char)) {
        return fail(SessionError::other(
            fmt::format("`{}` is not a server name: use 1 to 32 letters, digits, '-' or '_'", name)));
    }
    return {};
}

bool has_runtime_dir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime != nullptr && *runtime == '/';
}

SessionResult<fs::path> runtime_dir(const fs::path& root) {
    if (has_runtime_dir()) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        const fs::path base(runtime);
        if (auto checked = check_private_dir(base); !checked) return std::unexpected(std::move(checked.error()));
        fs::path dir = base / "tarnel";
        if (auto made = make_private_dir(dir); !made) return std::unexpected(std::move(made.error()));
        return dir;
    }
    fs::path dir = root / "run";
    if (auto made = make_private_dir(dir); !made) return std::unexpected(std::move(made.error()));
    return dir;
}

SessionResult<ServerPaths> server_paths(const fs::path& dir, std::string_view name) {
    if (auto checked = check_server_name(name); !checked) return std::unexpected(std::move(checked.error()));
    ServerPaths paths{dir / fmt::format("{}.sock", name), dir / fmt::format("{}.ctl", name),
                      dir / fmt::format("{}.log", name)};
    for (const fs::path* socket : {&paths.mcp, &paths.control}) {
        if (socket->native().size() > kMaxSocketPath) {
            return std::unexpected(
                refuse(*socket, fmt::format("a socket path holds at most {} bytes", kMaxSocketPath)).error());
        }
        if (auto checked = check_socket_file(*socket); !checked) return std::unexpected(std::move(checked.error()));
    }
    return paths;
}

bool is_stale_socket(const fs::path& path) {
    if (!check_socket_file(path) || path.native().size() > kMaxSocketPath) return false;
    struct stat info{};
    if (::lstat(path.c_str(), &info) != 0) return false;
    core::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return false;
    return errno == ECONNREFUSED;
}

}  // namespace tarnel::session
