#pragma once

#include <signal.h>
#include <sys/types.h>

#include <array>

namespace tarnel::core {

// The signals that ask a process to stop, which a child started in the
// foreground must get, and its parent must outlive while the child runs.
inline constexpr std::array<int, 4> kRelayedSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Whether a relayed signal that reached us should be sent on to the child.
// A terminal signals its whole foreground process group, so what the kernel
// sent is not sent twice to a child still in our group; nor is what the
// child sent.
bool should_relay(const siginfo_t& info, pid_t child, bool child_in_our_group) noexcept;

// The value `tarnel`'s waiting parent sends with each signal it passes on to
// its worker (sigqueue), so the worker can tell a copy from the original.
inline constexpr int kPassedOnMark = 0x746e6c;

// The relay drops a passed-on copy of a signal that reached it directly less
// than half a second before: a process group was signalled, and the parent,
// the worker and the child each got it once.

// Relays kRelayedSignals to one child for as long as it runs. Construction
// blocks them, so one that comes before the child exists waits for it;
// relay_to() installs the handlers and unblocks; stop() (or destruction)
// blocks them again, discards what is pending and puts back the previous
// actions and mask. For a single-threaded caller: the mask is per thread.
class SignalRelay {
public:
    SignalRelay();
    SignalRelay(const SignalRelay&) = delete;
    SignalRelay& operator=(const SignalRelay&) = delete;
    ~SignalRelay() { stop(); }

    void relay_to(pid_t child);
    // Call before reaping the child: its pid may be reused afterwards.
    void stop();

private:
    sigset_t relayed_{};
    sigset_t previous_mask_{};
    std::array<struct sigaction, kRelayedSignals.size()> previous_actions_{};
    bool handlers_installed_ = false;
    bool active_ = true;
};

}  // namespace tarnel::core
