#include "core/base/cancel_token.hpp"

#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace tarnel::core {

CancelToken::CancelToken() noexcept : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

const CancelToken& CancelToken::never() noexcept {
    static const CancelToken token{Never{}};
    return token;
}

void CancelToken::cancel() noexcept {
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    if (!wake_) return;
    const std::uint64_t one = 1;
    // The counter only fills after 2^64 - 1 writes; one write is made.
    (void)!::write(wake_.get(), &one, sizeof one);
}

bool CancelToken::sleep_for(std::chrono::milliseconds pause) const noexcept {
    if (cancelled()) return true;
    const auto until = std::chrono::steady_clock::now() + pause;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return cancelled();
        pollfd watched{.fd = wake_.get(), .events = POLLIN, .revents = 0};  // -1 is skipped: a plain sleep
        // A token without a descriptor is looked at every 50 ms; poll takes an int.
        const auto slice = std::min(left, valid() ? std::chrono::milliseconds(60'000) : std::chrono::milliseconds(50));
        const int ready = ::poll(&watched, 1, static_cast<int>(slice.count()));
        if (cancelled()) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

}  // namespace tarnel::core
