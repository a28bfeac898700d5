#include "cli/server_control.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>

namespace tarnel::cli {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kProcFileLimit = 65536;

}  // namespace

core::UniqueFd connect_to(const fs::path& path) {
    core::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.native().size() >= sizeof address.sun_path) return {};
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return {};
    return fd;
}

std::optional<std::string> read_line(int fd, std::chrono::milliseconds wait) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    char chunk[4096];
    while (line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left <= 0ms) return std::nullopt;
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
        line.append(chunk, static_cast<std::size_t>(n));
    }
    return line.substr(0, line.find('\n'));
}

std::optional<rapidjson::Document> ask_server(const session::ServerPaths& paths, std::string_view word) {
    core::UniqueFd fd = connect_to(paths.control);
    if (!fd) return std::nullopt;
    const std::string request = fmt::format("{}\n", word);
    if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return std::nullopt;
    }
    auto line = read_line(fd.get(), 10s);
    if (!line) return std::nullopt;
    rapidjson::Document answer;
    answer.Parse(line->c_str());
    if (answer.HasParseError() || !answer.IsObject()) return std::nullopt;
    return answer;
}

std::string read_file_head(const fs::path& path, std::size_t limit) {
    core::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    std::string text;
    if (!fd) return text;
    char chunk[4096];
    ssize_t n = 0;
    while (text.size() < limit && (n = ::read(fd.get(), chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

namespace {

bool runs_as_this_user(pid_t pid) {
    const std::string status = read_file_head(fmt::format("/proc/{}/status", pid), kProcFileLimit);
    const auto at = status.find("\nUid:\t");
    if (at == std::string::npos) return false;
    return std::strtoul(status.c_str() + at + 6, nullptr, 10) == ::getuid();
}

}  // namespace

pid_t parent_pid(pid_t pid) {
    const std::string stat = read_file_head(fmt::format("/proc/{}/stat", pid), kProcFileLimit);
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) return -1;
    return static_cast<pid_t>(std::strtol(stat.c_str() + close + 4, nullptr, 10));
}

bool ended(pid_t pid) {
    const std::string stat = read_file_head(fmt::format("/proc/{}/stat", pid), kProcFileLimit);
    const auto close = stat.rfind(')');
    // Gone, or a zombie its new parent has not reaped yet.
    return close == std::string::npos || stat.compare(close, 4, ") Z ") == 0;
}

std::vector<ServerProcess> server_processes(const fs::path& root) {
    std::vector<ServerProcess> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string file = entry.path().filename().string();
        pid_t pid = 0;
        if (std::from_chars(file.data(), file.data() + file.size(), pid).ec != std::errc() || pid == ::getpid()) {
            continue;
        }
        const std::string cmdline = read_file_head(entry.path() / "cmdline", kProcFileLimit);
        std::vector<std::string_view> argv;
        for (std::size_t start = 0; start < cmdline.size();) {
            const std::size_t end = cmdline.find('\0', start);
            argv.push_back(std::string_view(cmdline).substr(start, end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
        if (std::find(argv.begin(), argv.end(), "--serve-unlocked") == argv.end()) continue;
        auto value = [&](std::string_view flag) -> std::string_view {
            auto at = std::find(argv.begin(), argv.end(), flag);
            return at != argv.end() && at + 1 != argv.end() ? *(at + 1) : std::string_view();
        };
        if (value("--vault-dir") != root.native() || !session::check_server_name(value("--name")) ||
            !runs_as_this_user(pid)) {
            continue;
        }
        found.push_back({pid, std::string(value("--name"))});
    }
    return found;
}

std::optional<pid_t> key_holder(const std::vector<ServerProcess>& processes, std::string_view name) {
    std::optional<pid_t> any;
    for (const auto& process : processes) {
        if (process.name != name) continue;
        const pid_t parent = parent_pid(process.pid);
        if (std::any_of(processes.begin(), processes.end(),
                        [&](const ServerProcess& other) { return other.pid == parent; })) {
            return process.pid;
        }
        any = process.pid;
    }
    return any;
}

}  // namespace tarnel::cli
