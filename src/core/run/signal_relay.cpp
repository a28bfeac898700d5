#include "core/run/signal_relay.hpp"

#include <errno.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>

namespace tarnel::core {

namespace {

// The handler's only state. Zero while nothing runs.
std::atomic<pid_t> g_child{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

// When each relayed signal last came directly (not passed on by the parent),
// in steady-clock nanoseconds; read and written only by the handler, which
// blocks every signal while it runs.
std::array<std::int64_t, 65> g_last_direct{};
constexpr std::int64_t kCopyWindowNs = 500'000'000;

std::int64_t now_ns() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

extern "C" void relay(int signal_number, siginfo_t* info, void*) {
    const int saved_errno = errno;
    const pid_t child = g_child.load();
    const std::int64_t now = now_ns();
    auto& last = g_last_direct[static_cast<std::size_t>(signal_number) % g_last_direct.size()];
    const bool passed_on =
        info->si_code == SI_QUEUE && info->si_value.sival_int == kPassedOnMark && info->si_pid == ::getppid();
    if (passed_on && last != 0 && now - last < kCopyWindowNs) {
        errno = saved_errno;
        return;
    }
    if (!passed_on) last = now;
    // getpgid is not on POSIX's list of safe calls, but it is one system call
    // with no lock, like getpgrp, which is.
    if (child > 0 && should_relay(*info, child, ::getpgid(child) == ::getpgrp())) ::kill(child, signal_number);
    errno = saved_errno;
}

}  // namespace

bool should_relay(const siginfo_t& info, pid_t child, bool child_in_our_group) noexcept {
#if defined(SI_KERNEL)
    const bool from_kernel = info.si_code == SI_KERNEL;
#else
    const bool from_kernel = info.si_pid == 0;
#endif
    if (from_kernel) return !child_in_our_group;
    return info.si_pid != child;
}

SignalRelay::SignalRelay() {
    ::sigemptyset(&relayed_);
    for (int signal_number : kRelayedSignals) ::sigaddset(&relayed_, signal_number);
    ::pthread_sigmask(SIG_BLOCK, &relayed_, &previous_mask_);
}

void SignalRelay::relay_to(pid_t child) {
    g_child.store(child);
    struct sigaction action{};
    action.sa_sigaction = relay;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    ::sigfillset(&action.sa_mask);
    for (std::size_t i = 0; i < kRelayedSignals.size(); ++i) {
        ::sigaction(kRelayedSignals[i], &action, &previous_actions_[i]);
    }
    handlers_installed_ = true;
    sigset_t unblock = relayed_;
    ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

void SignalRelay::stop() {
    if (!active_) return;
    active_ = false;
    ::pthread_sigmask(SIG_BLOCK, &relayed_, nullptr);
    g_child.store(0);
    // What came for a child that is gone must not end us once unblocked:
    // setting SIG_IGN discards a pending signal.
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    for (std::size_t i = 0; i < kRelayedSignals.size(); ++i) {
        ::sigaction(kRelayedSignals[i], &ignore, handlers_installed_ ? nullptr : &previous_actions_[i]);
        ::sigaction(kRelayedSignals[i], &previous_actions_[i], nullptr);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

}  // namespace tarnel::core
