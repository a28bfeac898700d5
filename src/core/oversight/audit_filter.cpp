#include "core/oversight/audit_filter.hpp"

#include <charconv>
#include <limits>

#include "core/oversight/clock.hpp"
#include "core/model/coordinate.hpp"

namespace tarnel::core {

bool AuditFilter::matches(const AuditRecord& record) const {
    if (coordinate && record.event.coordinate != coordinate) return false;
    if (action && record.event.action != *action) return false;
    return !since || record.unix_secs >= *since;
}

Result<std::string> audit_coordinate(std::string_view text) {
    constexpr std::string_view kScheme = "secret:";
    auto parsed = Coordinate::from_str(text.starts_with(kScheme) ? std::string(text) : std::string(kScheme) += text);
    if (!parsed) return fail(parsed.error());
    return parsed->canonical_path();
}

std::optional<std::int64_t> audit_since(std::string_view text, std::int64_t now) {
    if (const auto at = parse_rfc3339(text)) return at;
    if (text.size() < 2) return std::nullopt;
    std::int64_t unit = 0;
    switch (text.back()) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        default: return std::nullopt;
    }
    const std::string_view digits = text.substr(0, text.size() - 1);
    std::int64_t count = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    // from_chars takes a leading minus; a span back is never negative.
    if (error != std::errc() || end != digits.data() + digits.size() || digits.front() == '-') return std::nullopt;
    if (count > std::numeric_limits<std::int64_t>::max() / unit) return std::nullopt;
    const std::int64_t span = count * unit;
    // Further back than the epoch is everything the log can hold.
    return span >= now ? 0 : now - span;
}

}  // namespace tarnel::core
