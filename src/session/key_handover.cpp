#include "session/key_handover.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sodium.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fmt/format.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <optional>
#include <string>

#include "core/base/os_error.hpp"
#include "core/keys/random.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

SessionResult<void> os_failure(std::string_view doing) {
    return fail(SessionError::other(fmt::format("{}: {}", doing, core::os_error_text(errno))));
}

// Capabilities that read any process's /proc entries, dumpable or not.
constexpr std::array<unsigned, 3> kReadAnyProcess{CAP_SYS_PTRACE, CAP_SYS_ADMIN, CAP_PERFMON};

std::uint64_t read_any_process_mask() {
    std::uint64_t mask = 0;
    for (unsigned capability : kReadAnyProcess) mask |= std::uint64_t{1} << capability;
    return mask;
}

// The process's permitted capabilities; none when its status cannot be read.
std::optional<std::uint64_t> permitted_of(pid_t pid) {
    std::ifstream status(fmt::format("/proc/{}/status", pid));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapPrm:", 0) != 0) continue;
        try {
            return std::stoull(line.substr(7), nullptr, 16);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Makes this process's effective set exactly `capabilities`: the kernel then
// lets it read another process's /proc entries only when that process holds
// no more, and is dumpable. The permitted set stays as it was.
bool take_effective(std::uint64_t capabilities) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> data{};
    if (::syscall(SYS_capget, &header, data.data()) != 0) return false;
    data[0].effective = static_cast<std::uint32_t>(capabilities);
    data[1].effective = static_cast<std::uint32_t>(capabilities >> 32);
    return ::syscall(SYS_capset, &header, data.data()) == 0;
}

// -1 when the status file cannot be read.
long tracer_of(pid_t pid) {
    std::ifstream status(fmt::format("/proc/{}/status", pid));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            try {
                return std::stol(line.substr(10));
            } catch (const std::exception&) {
                return -1;
            }
        }
    }
    return -1;
}

// -1 when the stat file cannot be read.
pid_t parent_of(pid_t pid) {
    std::ifstream stat(fmt::format("/proc/{}/stat", pid));
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(text.substr(close + 1));
    std::string state;
    pid_t parent = -1;
    rest >> state >> parent;
    return parent;
}

SessionResult<pid_t> peer_of(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        return std::unexpected(os_failure("reading the peer's credentials").error());
    }
    if (peer.uid != ::geteuid()) return -1;
    return peer.pid;
}

}  // namespace

KeyHandover::KeyHandover(fs::path path, core::UniqueFd listener) noexcept
    : path_(std::move(path)), listener_(std::move(listener)) {}

KeyHandover::KeyHandover(KeyHandover&& other) noexcept
    : path_(std::exchange(other.path_, {})), listener_(std::move(other.listener_)) {}

KeyHandover::~KeyHandover() {
    if (!path_.empty()) ::unlink(path_.c_str());
}

SessionResult<KeyHandover> KeyHandover::listen(const fs::path& dir) {
    auto suffix = core::random_hex(8);
    if (!suffix) return fail(SessionError(suffix.error()));
    fs::path path = dir / fmt::format(".handover-{}", *suffix);
    sockaddr_un address{};
    if (path.native().size() >= sizeof address.sun_path) {
        return fail(SessionError::other(fmt::format("{} is too long for a socket path", path.string())));
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.native().size());
    core::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) return std::unexpected(os_failure("creating a socket").error());
    // bind never follows or replaces what is at the path.
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return std::unexpected(os_failure(fmt::format("binding {}", path.string())).error());
    }
    KeyHandover handover(std::move(path), std::move(listener));
    if (::listen(handover.listener_.get(), 4) != 0) return std::unexpected(os_failure("listening").error());
    return handover;
}

SessionResult<core::UniqueFd> KeyHandover::hand_over(pid_t server, const core::MasterKey& key,
                                                     std::chrono::milliseconds wait,
                                                     const std::function<bool()>& starting) {
    const auto deadline = Clock::now() + wait;
    while (Clock::now() < deadline) {
        if (!starting()) return fail(SessionError::other("the server ended before it took the key"));
        pollfd ready{listener_.get(), POLLIN, 0};
        const int polled = ::poll(&ready, 1, 100);
        if (polled < 0 && errno != EINTR) return std::unexpected(os_failure("waiting for the server").error());
        if (polled <= 0) continue;
        core::UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) continue;
        auto peer = peer_of(connection.get());
        if (!peer) return std::unexpected(std::move(peer.error()));
        // Only the child `server` forks to hold the key: `server` itself ran
        // as a fresh, readable image, and another process of the user may
        // have written into its memory then. Anyone else who found the socket
        // gets nothing, not even an answer. While `server` lives, no other
        // process can take its pid or be its child.
        if (*peer <= 0 || *peer == server || parent_of(*peer) != server) continue;
        if (auto closed = check_closed_to_readers(*peer); !closed) return std::unexpected(std::move(closed.error()));
        const auto bytes = key.expose_secret();
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(connection.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::unexpected(os_failure("sending the key to the server").error());
            sent += static_cast<std::size_t>(n);
        }
        return connection;
    }
    return fail(SessionError::other(fmt::format("the server did not connect within {} s", wait.count() / 1000)));
}

SessionResult<void> check_closed_to_readers(pid_t pid) {
    if (tracer_of(pid) != 0) {
        return fail(
            SessionError::denied(fmt::format("process {} is traced (or gone); the key is not handed over", pid)));
    }
    // A process holding more capabilities than the checker is closed to it
    // whether dumpable or not; so the check runs with exactly the server's.
    const auto permitted = permitted_of(pid);
    if (!permitted)
        return fail(SessionError::denied(fmt::format("process {} is gone; the key is not handed over", pid)));
    if ((*permitted & read_any_process_mask()) != 0) {
        return fail(SessionError::denied(fmt::format(
            "process {} holds a capability that reads any process (CAP_SYS_PTRACE, CAP_SYS_ADMIN or CAP_PERFMON); "
            "the key is not handed over",
            pid)));
    }
    if (!take_effective(*permitted)) {
        return std::unexpected(
            os_failure(fmt::format("taking the capabilities of process {} to check it", pid)).error());
    }
    core::UniqueFd environ(::open(fmt::format("/proc/{}/environ", pid).c_str(), O_RDONLY | O_CLOEXEC));
    if (environ) {
        return fail(SessionError::denied(fmt::format(
            "process {} can be read by other processes of this user (it is dumpable); the key is not handed over",
            pid)));
    }
    if (errno != EACCES && errno != EPERM) {
        return std::unexpected(os_failure(fmt::format("checking process {}", pid)).error());
    }
    return {};
}

bool attaching_is_restricted() {
    std::ifstream scope("/proc/sys/kernel/yama/ptrace_scope");
    int level = 0;
    return static_cast<bool>(scope >> level) && level >= 1;
}

SessionResult<core::MasterKey> receive_key(int fd) {
    if (::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) {
        return fail(SessionError::denied("this process is dumpable: make it non-dumpable before it takes the key"));
    }
    std::array<std::uint8_t, core::MasterKey::kSize> bytes{};
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            ::sodium_memzero(bytes.data(), bytes.size());
            return fail(SessionError::other(error != 0
                                                ? fmt::format("reading the key: {}", core::os_error_text(error))
                                                : std::string("the key was cut short: the unlocking side went away")));
        }
        got += static_cast<std::size_t>(n);
    }
    core::MasterKey key(bytes);
    ::sodium_memzero(bytes.data(), bytes.size());
    return key;
}

}  // namespace tarnel::session
