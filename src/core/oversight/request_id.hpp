#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/oversight/clock.hpp"

namespace tarnel::core {

// Each kind draws from its own counter, shared by the whole process.
enum class RequestKind : std::uint8_t { Confirmation, Intake };

// "secs-pid-seq": wall-clock seconds, process id, counter value before the
// increment. The counter is process-wide, not per confirmer or broker, because
// callers create one of those per request and two requests of one process in
// the same second must never share a name (one would overwrite the other's
// file and could read the other's decision).
std::string next_request_id(RequestKind kind, const Clock& clock);

// Whether a text has exactly that form, so a name taken from a command line
// or a directory can join a path safely: no separators, no dots, nothing else.
bool is_request_id(std::string_view text) noexcept;

// How many identifiers a request tries before giving up; each taken one
// belongs to a request of another process that has our pid.
inline constexpr int kMaxRequestIdAttempts = 1000;

// The clock confirmers and brokers read unless given another.
const Clock& system_wall_clock() noexcept;

}  // namespace tarnel::core
