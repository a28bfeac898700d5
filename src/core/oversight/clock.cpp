#include "core/oversight/clock.hpp"

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

// The inverse of civil_from_days, for any year the parser accepts.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<std::int64_t>(year - era * 400);
    const std::int64_t mp = month > 2 ? month - 3 : month + 9;
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool is_leap(std::int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

unsigned days_in_month(std::int64_t year, unsigned month) {
    constexpr unsigned kDays[12]{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

// Reads exactly `count` digits at the front of `text`.
std::optional<unsigned> take_digits(std::string_view& text, std::size_t count) {
    if (text.size() < count) return std::nullopt;
    unsigned value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    text.remove_prefix(count);
    return value;
}

bool take(std::string_view& text, char expected) {
    if (text.empty() || text.front() != expected) return false;
    text.remove_prefix(1);
    return true;
}

bool take_either(std::string_view& text, char upper) {
    return take(text, upper) || take(text, static_cast<char>(upper - 'A' + 'a'));
}

// Four digits, or more without a leading zero, as the writer pads them.
std::optional<std::int64_t> take_year(std::string_view& text) {
    std::size_t count = 0;
    while (count < text.size() && text[count] >= '0' && text[count] <= '9') ++count;
    if (count < 4 || count > 9 || (count > 4 && text.front() == '0')) return std::nullopt;
    return take_digits(text, count);
}

// Seconds east of UTC, from "Z" or "+HH:MM" / "-HH:MM".
std::optional<std::int64_t> take_offset(std::string_view& text) {
    if (take_either(text, 'Z')) return 0;
    const bool east = take(text, '+');
    if (!east && !take(text, '-')) return std::nullopt;
    const auto hours = take_digits(text, 2);
    if (!hours || *hours > 23 || !take(text, ':')) return std::nullopt;
    const auto minutes = take_digits(text, 2);
    if (!minutes || *minutes > 59) return std::nullopt;
    const std::int64_t secs = *hours * 3600 + *minutes * 60;
    return east ? secs : -secs;
}

}  // namespace

std::optional<std::int64_t> parse_rfc3339(std::string_view text) {
    const auto year = take_year(text);
    if (!year || !take(text, '-')) return std::nullopt;
    const auto month = take_digits(text, 2);
    if (!month || *month < 1 || *month > 12 || !take(text, '-')) return std::nullopt;
    const auto day = take_digits(text, 2);
    if (!day || *day < 1 || *day > days_in_month(*year, *month) || !take_either(text, 'T')) return std::nullopt;
    const auto hour = take_digits(text, 2);
    if (!hour || *hour > 23 || !take(text, ':')) return std::nullopt;
    const auto minute = take_digits(text, 2);
    if (!minute || *minute > 59 || !take(text, ':')) return std::nullopt;
    // 60 is a leap second; it reads as the first second of the next minute.
    const auto second = take_digits(text, 2);
    if (!second || *second > 60) return std::nullopt;
    if (take(text, '.')) {
        std::size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        if (digits == 0) return std::nullopt;
        text.remove_prefix(digits);
    }
    const auto offset = take_offset(text);
    if (!offset || !text.empty()) return std::nullopt;
    return days_from_civil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second - *offset;
}

std::string format_rfc3339_utc(std::uint64_t unix_secs) {
    const auto date = civil_from_days(unix_secs / 86400);
    const auto of_day = unix_secs % 86400;
    char text[48];
    const int n =
        std::snprintf(text, sizeof text, "%04llu-%02u-%02uT%02u:%02u:%02uZ", static_cast<unsigned long long>(date.year),
                      date.month, date.day, static_cast<unsigned>(of_day / 3600),
                      static_cast<unsigned>(of_day % 3600 / 60), static_cast<unsigned>(of_day % 60));
    return std::string(text, static_cast<std::size_t>(n));
}

std::uint64_t SystemClock::unix_secs() const {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    return secs < 0 ? 0 : static_cast<std::uint64_t>(secs);
}

}  // namespace tarnel::core
