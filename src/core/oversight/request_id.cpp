#include "core/oversight/request_id.hpp"

#include <unistd.h>

#include <atomic>

namespace tarnel::core {

namespace {

constinit std::atomic<std::uint64_t> confirmation_seq{0};
constinit std::atomic<std::uint64_t> intake_seq{0};

std::atomic<std::uint64_t>& counter(RequestKind kind) noexcept {
    return kind == RequestKind::Confirmation ? confirmation_seq : intake_seq;
}

bool is_request_id(std::string_view text) noexcept {
    // Three numbers of at most 20 digits (a 64-bit value) joined by two hyphens.
    constexpr std::size_t kMaxDigits = 20;
    int numbers = 0;
    std::size_t digits = 0;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > kMaxDigits) return false;
        } else if (c == '-' && digits > 0 && numbers < 2) {
            ++numbers;
            digits = 0;
        } else {
            return false;
        }
    }
    return numbers == 2 && digits > 0;
}

}  // namespace

std::string next_request_id(RequestKind kind, const Clock& clock) {
    const std::uint64_t secs = clock.unix_secs();
    const std::uint64_t seq = counter(kind).fetch_add(1);
    const auto pid = static_cast<long long>(::getpid());
    return std::to_string(secs) + '-' + std::to_string(pid) + '-' + std::to_string(seq);
}

std::optional<RequestId> RequestId::parse(std::string_view text) {
    if (!is_request_id(text)) return std::nullopt;
    return RequestId(std::string(text));
}

const Clock& system_wall_clock() noexcept {
    static const SystemClock clock;
    return clock;
}

}  // namespace tarnel::core
