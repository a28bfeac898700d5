#pragma once

#include <cstdint>
#include <optional>
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

// A request identifier whose text was checked where it came in (a command
// line, a directory entry), so every later step takes it as it is.
class RequestId {
public:
    // Only text of exactly that form, so a name taken from a command line or
    // a directory can join a path safely: no separators, no dots, nothing else.
    [[nodiscard]] static std::optional<RequestId> parse(std::string_view text);

    const std::string& text() const noexcept { return text_; }
    // The request file's name, and its answer's.
    std::string file_name(std::string_view suffix) const { return text_ + std::string(suffix); }
    friend bool operator==(const RequestId&, const RequestId&) = default;

private:
    explicit RequestId(std::string text) noexcept : text_(std::move(text)) {}
    std::string text_;
};

// How many identifiers a request tries before giving up; each taken one
// belongs to a request of another process that has our pid.
inline constexpr int kMaxRequestIdAttempts = 1000;

// The clock confirmers and brokers read unless given another.
const Clock& system_wall_clock() noexcept;

}  // namespace tarnel::core
