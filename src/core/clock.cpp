#include "core/clock.hpp"

#include <chrono>
#include <cstdio>

namespace tarnel::core {

namespace {

struct CivilDate {
    std::uint64_t year;
    unsigned month;
    unsigned day;
};

// Days since 1970-01-01 to a proleptic Gregorian date, by 400-year eras.
CivilDate civil_from_days(std::uint64_t days) {
    const std::uint64_t z = days + 719468;
    const std::uint64_t era = z / 146097;
    const std::uint64_t doe = z - era * 146097;
    const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::uint64_t mp = (5 * doy + 2) / 153;
    const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const std::uint64_t year = yoe + 400 * era + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

}  // namespace

std::string format_rfc3339_utc(std::uint64_t unix_secs) {
    const auto date = civil_from_days(unix_secs / 86400);
    const auto of_day = unix_secs % 86400;
    char text[48];
    const int n = std::snprintf(text, sizeof text, "%04llu-%02u-%02uT%02u:%02u:%02uZ",
                                static_cast<unsigned long long>(date.year), date.month, date.day,
                                static_cast<unsigned>(of_day / 3600),
                                static_cast<unsigned>(of_day % 3600 / 60),
                                static_cast<unsigned>(of_day % 60));
    return std::string(text, static_cast<std::size_t>(n));
}

std::uint64_t SystemClock::unix_secs() const {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    return secs < 0 ? 0 : static_cast<std::uint64_t>(secs);
}

}  // namespace tarnel::core
