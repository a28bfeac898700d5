#pragma once

#include <cstdint>
#include <string>

namespace tarnel::core {

// YYYY-MM-DDTHH:MM:SSZ for whole seconds since the Unix epoch.
std::string format_rfc3339_utc(std::uint64_t unix_secs);

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint64_t unix_secs() const = 0;
    std::string now_rfc3339() const { return format_rfc3339_utc(unix_secs()); }
};

// The system wall clock; a clock set before 1970 reads as 0.
class SystemClock final : public Clock {
public:
    std::uint64_t unix_secs() const override;
};

}  // namespace tarnel::core
