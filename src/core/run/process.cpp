#include "core/run/process.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "core/base/fd.hpp"
#include "core/base/os_error.hpp"
#include "core/run/signal_relay.hpp"

extern char** environ;

namespace tarnel::core {
namespace {

using Steady = std::chrono::steady_clock;
using Deadline = std::optional<Steady::time_point>;

constexpr std::string_view kVaultPrefix = "TARNEL_";
// A read takes up to as much as the output holds already, from 64 KiB to 1 MiB.
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kLargeRead = 1024 * 1024;

std::string_view name_of(std::string_view entry) { return entry.substr(0, entry.find('=')); }

std::unexpected<ProcessError> failure(ProcessFailure kind, int error_number) {
    return std::unexpected(ProcessError{kind, os_error_text(error_number), error_number});
}

// Moves a descriptor above 2. When the caller runs with a standard stream
// closed, a fresh descriptor can land on its own target, and only recent
// posix_spawn implementations clear FD_CLOEXEC for a dup2 onto itself.
bool lift_above_stdio(UniqueFd& fd) {
    if (fd.get() > 2) return true;
    const int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (lifted < 0) return false;
    fd.reset(lifted);
    return true;
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

std::expected<Pipe, int> make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(errno);
    Pipe pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
    if (!lift_above_stdio(pipe.read) || !lift_above_stdio(pipe.write)) return std::unexpected(errno);
    return pipe;
}

// posix_spawn's attribute and file-action objects, destroyed on every path.
class SpawnSetup {
public:
    SpawnSetup() {
        ::posix_spawnattr_init(&attr_);
        ::posix_spawn_file_actions_init(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attr_);
    }

    // The child starts with every catchable signal at its default action
    // (our host, Python, ignores SIGPIPE) and nothing blocked.
    int reset_signals() {
        sigset_t all;
        ::sigfillset(&all);
        ::sigdelset(&all, SIGKILL);
        ::sigdelset(&all, SIGSTOP);
        sigset_t none;
        ::sigemptyset(&none);
        if (int rc = ::posix_spawnattr_setsigdefault(&attr_, &all)) return rc;
        if (int rc = ::posix_spawnattr_setsigmask(&attr_, &none)) return rc;
        return ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }

    // The child leads a new process group, so stopping it reaches whatever
    // it started too.
    int own_group() {
        short flags = 0;
        if (int rc = ::posix_spawnattr_getflags(&attr_, &flags)) return rc;
        if (int rc = ::posix_spawnattr_setpgroup(&attr_, 0)) return rc;
        return ::posix_spawnattr_setflags(&attr_, flags | POSIX_SPAWN_SETPGROUP);
    }

    int redirect(int from, int to) { return ::posix_spawn_file_actions_adddup2(&actions_, from, to); }

    // O_CLOEXEC covers our own descriptors; this also covers those another
    // library in the process opened without it.
    int close_above_stdio() {
#if defined(__GLIBC__)
        return ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
#elif defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
        short flags = 0;
        if (int rc = ::posix_spawnattr_getflags(&attr_, &flags)) return rc;
        for (int fd = 0; fd <= 2; ++fd) {
            if (int rc = ::posix_spawn_file_actions_addinherit_np(&actions_, fd)) return rc;
        }
        return ::posix_spawnattr_setflags(&attr_, flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
#else
#error "no way to close inherited descriptors in posix_spawn on this platform"
#endif
    }

    int spawn(pid_t& pid, const std::string& program, char* const argv[], char* const envp[]) {
        // As execvp does: a name without "/" is looked up through PATH.
        if (program.find('/') == std::string::npos) {
            return ::posix_spawnp(&pid, program.c_str(), &actions_, &attr_, argv, envp);
        }
        return ::posix_spawn(&pid, program.c_str(), &actions_, &attr_, argv, envp);
    }

private:
    posix_spawnattr_t attr_;
    posix_spawn_file_actions_t actions_;
};

// The ends our side keeps while the child runs.
struct Captured {
    UniqueFd out;
    UniqueFd err;
};

int milliseconds_until(Steady::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60'000));
}

// When a wait gives up: at the deadline, or once the caller cancels.
struct Limits {
    Deadline deadline;
    const CancelToken* cancel = nullptr;

    bool cancelled() const noexcept { return cancel != nullptr && cancel->cancelled(); }
    bool passed() const noexcept { return deadline && Steady::now() >= *deadline; }
};

enum class Waited : std::uint8_t { Ended, TimedOut, Cancelled };

// Reads both pipes until each reports end of file, the deadline passes or the
// caller cancels; errno-style code on failure.
std::expected<Waited, int> drain(Captured& ends, ProcessOutput& output, const Limits& limits) {
    std::array<UniqueFd*, 2> fds{&ends.out, &ends.err};
    std::array<SecretValue*, 2> into{&output.out, &output.err};
    std::array<bool, 2> widened{};
    while (*fds[0] || *fds[1]) {
        if (limits.cancelled()) return Waited::Cancelled;
        if (limits.passed()) return Waited::TimedOut;
        // -1 is skipped: an ended pipe, or a caller that cannot cancel.
        std::array<pollfd, 3> watched{};
        for (std::size_t i = 0; i < 2; ++i) watched[i] = pollfd{.fd = fds[i]->get(), .events = POLLIN, .revents = 0};
        watched[2] = pollfd{.fd = limits.cancel ? limits.cancel->fd() : -1, .events = POLLIN, .revents = 0};
        const int wait_ms = limits.deadline ? milliseconds_until(*limits.deadline) : -1;
        // A token without a descriptor is looked at every 50 ms.
        const bool blind = limits.cancel != nullptr && limits.cancel->fd() < 0;
        const int ready = ::poll(watched.data(), watched.size(), blind && (wait_ms < 0 || wait_ms > 50) ? 50 : wait_ms);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(errno);
        }
        for (std::size_t i = 0; i < 2; ++i) {
            if (watched[i].revents == 0) continue;
            // Straight into the end of the output, which grows without copying once large.
            const std::span<std::uint8_t> room = into[i]->room(std::clamp(into[i]->size(), kReadChunk, kLargeRead));
            const ssize_t got = ::read(fds[i]->get(), room.data(), room.size());
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                return std::unexpected(errno);
            }
            if (got == 0) {
                fds[i]->reset();
                continue;
            }
            into[i]->extend(static_cast<std::size_t>(got));
            // A child that fills the pipe gets a larger one, and runs on with
            // fewer waits for our reads. Only such a child: the pages of a
            // user's pipes are counted against a limit all of its pipes share.
            // A system that refuses keeps the size it has.
            if (static_cast<std::size_t>(got) == kReadChunk && !widened[i]) {
                widened[i] = true;
                (void)::fcntl(fds[i]->get(), F_SETPIPE_SZ, static_cast<int>(kLargeRead));
            }
        }
    }
    return Waited::Ended;
}

std::expected<int, int> wait_blocking(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return std::unexpected(errno);
    }
    return status;
}

// Whether the child has ended, leaving it unreaped so its pid (and its
// group's id) cannot be taken by another process meanwhile.
std::expected<bool, int> has_ended(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
        if (errno != EINTR) return std::unexpected(errno);
    }
    return info.si_pid == pid;
}

// waitid has no time-out, so look at the child in short naps until it ends
// or a limit is reached. The naps grow from 1 ms to 20 ms. The child is left
// unreaped.
std::expected<Waited, int> wait_until(pid_t pid, const Limits& limits) {
    auto nap = std::chrono::milliseconds(1);
    for (;;) {
        const auto ended = has_ended(pid);
        if (!ended) return std::unexpected(ended.error());
        if (*ended) return Waited::Ended;
        if (limits.cancelled()) return Waited::Cancelled;
        if (limits.passed()) return Waited::TimedOut;
        auto pause = nap;
        if (limits.deadline)
            pause = std::min(pause, std::chrono::ceil<std::chrono::milliseconds>(*limits.deadline - Steady::now()));
        if (limits.cancel) {
            (void)limits.cancel->sleep_for(pause);
        } else {
            const timespec ts{.tv_sec = 0, .tv_nsec = std::chrono::nanoseconds(pause).count()};
            ::nanosleep(&ts, nullptr);  // an interruption only shortens the nap
        }
        nap = std::min(nap * 2, std::chrono::milliseconds(20));
    }
}

void record_ending(int status, ProcessOutput& output) {
    if (WIFEXITED(status)) output.code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) output.signal = WTERMSIG(status);
}

// The child of run_process leads its own group; that of run_attached does not.
enum class Reach : std::uint8_t { Child, Group };

void signal_child(pid_t pid, Reach reach, int signal) { ::kill(reach == Reach::Group ? -pid : pid, signal); }

std::unexpected<ProcessError> kill_and_reap(pid_t pid, Reach reach, ProcessFailure kind, int error_number = 0) {
    signal_child(pid, reach, SIGKILL);  // it may have ended already; reaping is what matters
    (void)wait_blocking(pid);
    if (kind == ProcessFailure::TimedOut || kind == ProcessFailure::Cancelled) {
        return std::unexpected(ProcessError{kind, {}, 0});
    }
    return failure(kind, error_number);
}

// The caller gave up: the group is asked to end, and made to after the grace.
std::unexpected<ProcessError> stop(pid_t pid, Reach reach) {
    signal_child(pid, reach, SIGTERM);
    (void)wait_until(pid, Limits{Steady::now() + kStopGrace, nullptr});
    // Whatever of the group outlived the grace, or the leader's end.
    return kill_and_reap(pid, reach, ProcessFailure::Cancelled);
}

// Waits for the child (and, when capturing, for both pipes to end) within the
// limits. A child that ends while a descendant still holds a pipe open does
// not finish in time either: the output was never read to its end.
std::expected<ProcessOutput, ProcessError> await_child(pid_t pid, Reach reach, std::optional<Captured> ends,
                                                       const Limits& limits) {
    ProcessOutput output;
    if (ends) {
        const auto drained = drain(*ends, output, limits);
        if (!drained) return kill_and_reap(pid, reach, ProcessFailure::Wait, drained.error());
        if (*drained == Waited::Cancelled) return stop(pid, reach);
        if (*drained == Waited::TimedOut) return kill_and_reap(pid, reach, ProcessFailure::TimedOut);
    }
    if (limits.deadline || limits.cancel) {
        const auto waited = wait_until(pid, limits);
        if (!waited) return failure(ProcessFailure::Wait, waited.error());
        if (*waited == Waited::Cancelled) return stop(pid, reach);
        if (*waited == Waited::TimedOut) return kill_and_reap(pid, reach, ProcessFailure::TimedOut);
    }
    const auto status = wait_blocking(pid);
    if (!status) return failure(ProcessFailure::Wait, status.error());
    record_ending(*status, output);
    return output;
}

// Builds the argument and environment vectors and starts the child.
std::expected<pid_t, ProcessError> spawn_child(SpawnSetup& setup, const std::string& program,
                                               const std::vector<std::string>& args, const ChildEnvironment& env) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::vector<char*> envp = env.envp();
    pid_t pid = 0;
    if (int rc = setup.spawn(pid, program, argv.data(), envp.data())) return failure(ProcessFailure::Start, rc);
    return pid;
}

}  // namespace

ChildEnvironment ChildEnvironment::inherited_without_vault_settings() {
    ChildEnvironment env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (text.starts_with(kVaultPrefix)) continue;
        SecretValue held;
        held.reserve(text.size() + 1);
        held.append(text);
        held.push_back(0);
        env.entries_.push_back(std::move(held));
    }
    return env;
}

void ChildEnvironment::set(std::string_view name, std::span<const std::uint8_t> value) {
    SecretValue entry;
    entry.reserve(name.size() + 1 + value.size() + 1);
    entry.append(name);
    entry.push_back('=');
    entry.append(value);
    entry.push_back(0);
    for (SecretValue& existing : entries_) {
        if (name_of(existing.expose_secret_chars()) == name) {
            existing = std::move(entry);
            return;
        }
    }
    entries_.push_back(std::move(entry));
}

std::vector<char*> ChildEnvironment::envp() const {
    std::vector<char*> pointers;
    pointers.reserve(entries_.size() + 1);
    for (const SecretValue& entry : entries_) {
        // exec takes non-const pointers but never writes through them.
        pointers.push_back(const_cast<char*>(entry.expose_secret_chars().data()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::expected<ProcessOutput, ProcessError> run_process(const ProcessSpec& spec, const ChildEnvironment& env) {
    SpawnSetup setup;
    if (int rc = setup.reset_signals()) return failure(ProcessFailure::Start, rc);

    // Kept open until the child has been started, so its copies are made.
    UniqueFd null_input;
    std::optional<Pipe> out_pipe;
    std::optional<Pipe> err_pipe;
    if (spec.capture) {
        null_input.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!null_input || !lift_above_stdio(null_input)) return failure(ProcessFailure::Start, errno);
        auto out = make_pipe();
        if (!out) return failure(ProcessFailure::Start, out.error());
        auto err = make_pipe();
        if (!err) return failure(ProcessFailure::Start, err.error());
        out_pipe = std::move(*out);
        err_pipe = std::move(*err);
        for (auto [from, to] : {std::pair{null_input.get(), 0}, std::pair{out_pipe->write.get(), 1},
                                std::pair{err_pipe->write.get(), 2}}) {
            if (int rc = setup.redirect(from, to)) return failure(ProcessFailure::Start, rc);
        }
    }
    if (int rc = setup.close_above_stdio()) return failure(ProcessFailure::Start, rc);
    // A captured child has no terminal to share, so it may lead a group.
    const Reach reach = spec.capture ? Reach::Group : Reach::Child;
    if (reach == Reach::Group) {
        if (int rc = setup.own_group()) return failure(ProcessFailure::Start, rc);
    }

    Limits limits{std::nullopt, spec.cancel};
    if (spec.timeout) limits.deadline = Steady::now() + *spec.timeout;
    const auto pid = spawn_child(setup, spec.program, spec.args, env);
    if (!pid) return std::unexpected(pid.error());

    std::optional<Captured> ends;
    if (spec.capture) {
        // Our write ends must go, or the pipes never report end of file.
        ends = Captured{std::move(out_pipe->read), std::move(err_pipe->read)};
        out_pipe.reset();
        err_pipe.reset();
        null_input.reset();
    }
    return await_child(*pid, reach, std::move(ends), limits);
}

std::expected<ProcessOutput, ProcessError> run_attached(const std::string& program,
                                                        const std::vector<std::string>& args,
                                                        const ChildEnvironment& env) {
    SignalRelay relay;
    SpawnSetup setup;
    if (int rc = setup.reset_signals()) return failure(ProcessFailure::Start, rc);
    if (int rc = setup.close_above_stdio()) return failure(ProcessFailure::Start, rc);
    const auto pid = spawn_child(setup, program, args, env);
    if (!pid) return std::unexpected(pid.error());

    relay.relay_to(*pid);
    // Wait without reaping, so the pid stays the child's until the relay stops.
    siginfo_t ended{};
    while (::waitid(P_PID, static_cast<id_t>(*pid), &ended, WEXITED | WNOWAIT) < 0) {
        if (errno != EINTR) {
            const int error_number = errno;
            relay.stop();
            return kill_and_reap(*pid, Reach::Child, ProcessFailure::Wait, error_number);
        }
    }
    relay.stop();
    const auto status = wait_blocking(*pid);
    if (!status) return failure(ProcessFailure::Wait, status.error());
    ProcessOutput output;
    record_ending(*status, output);
    return output;
}

}  // namespace tarnel::core
