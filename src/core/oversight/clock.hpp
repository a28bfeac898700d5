#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnel::core {

// YYYY-MM-DDTHH:MM:SSZ for whole seconds since the Unix epoch.
std::string format_rfc3339_utc(std::uint64_t unix_secs);

// Seconds since the Unix epoch (negative before it) of an RFC 3339
// date-time: YYYY-MM-DDTHH:MM:SS, optional fraction (dropped), then Z or an
// offset +HH:MM / -HH:MM; "T" and "Z" in either case. Years past 9999 are
// read as format_rfc3339_utc writes them. None for anything else, an
// impossible date included.
std::optional<std::int64_t> parse_rfc3339(std::string_view text);

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
