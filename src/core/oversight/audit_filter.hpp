#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/oversight/audit.hpp"
#include "core/oversight/audit_reader.hpp"
#include "core/base/error.hpp"

namespace tarnel::core {

// Which events of the log to show; every condition that is set must hold.
struct AuditFilter {
    std::optional<std::string> coordinate;  // a canonical path, as the log holds it
    std::optional<AuditAction> action;
    std::optional<std::int64_t> since;  // seconds since the Unix epoch, inclusive

    bool matches(const AuditRecord& record) const;
};

// The canonical path the log records for a coordinate given as
// "dev/app/db" or in any form the coordinate parser takes
// ("secret:dev/app/db", "secret://global/dev/app/db#public"). The error is
// the parser's; a `${ENV}` placeholder is not storable and fails.
Result<std::string> audit_coordinate(std::string_view text);

// The start of a --since window: an RFC 3339 time, or a span back from
// `now`: digits followed by s, m, h or d ("30s", "10m", "2h", "7d"). None for
// anything else.
std::optional<std::int64_t> audit_since(std::string_view text, std::int64_t now);

}  // namespace tarnel::core
