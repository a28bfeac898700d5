#pragma once

#include <atomic>
#include <chrono>

#include "core/base/fd.hpp"

namespace tarnel::core {

// Ends a wait from another thread: a caller that gave up on an operation
// cancels its token, and whatever the operation waits on (a human's answer,
// a child) stops waiting at once. One-way: a cancelled token stays so.
class CancelToken {
public:
    // Without a descriptor the token can still be cancelled, but a wait on it
    // notices only when it next looks (valid() says which).
    CancelToken() noexcept;
    CancelToken(const CancelToken&) = delete;
    CancelToken& operator=(const CancelToken&) = delete;

    // A token nobody can cancel, for callers that never give up.
    static const CancelToken& never() noexcept;

    bool valid() const noexcept { return static_cast<bool>(wake_); }
    void cancel() noexcept;
    bool cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }
    // Readable once cancelled, for a poll() beside other descriptors; -1 for
    // a token without a descriptor.
    int fd() const noexcept { return wake_.get(); }
    // Sleeps for `pause` or until cancelled; whether it was cancelled.
    bool sleep_for(std::chrono::milliseconds pause) const noexcept;

private:
    struct Never {};
    explicit CancelToken(Never) noexcept {}

    std::atomic<bool> cancelled_{false};
    UniqueFd wake_;
};

}  // namespace tarnel::core
