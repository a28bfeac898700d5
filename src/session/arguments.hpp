#pragma once

// The argument texts every operation shares, read the same way for each face.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/model/coordinate.hpp"
#include "core/model/sensitivity.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

// The largest texts an operation takes from its caller. They bound what the
// session copies, encodes and writes, so no argument can exhaust memory.
inline constexpr std::size_t kMaxCoordinateBytes = 4096;
inline constexpr std::size_t kMaxValueBytes = 1024 * 1024;
inline constexpr std::size_t kMaxGeneratedLength = 64 * 1024;
inline constexpr std::size_t kMaxDescriptionBytes = 64 * 1024;
inline constexpr std::size_t kMaxReferenceBytes = 4096;
inline constexpr std::size_t kMaxWordBytes = 64;       // sensitivity words
inline constexpr std::size_t kMaxProcessBytes = 4096;  // requesting process

// "`{name}` must be at most {max} bytes" when the text is longer.
SessionResult<void> check_size(std::string_view name, std::optional<std::string_view> text, std::size_t max);

// A concrete coordinate, or the parser's text as an Other error.
SessionResult<core::Coordinate> parse_concrete(std::string_view text);
// A sensitivity word as people type it (see core::parse_sensitivity).
SessionResult<core::Sensitivity> parse_sensitivity(std::string_view text);
// The word when one is given, else `fallback`.
SessionResult<core::Sensitivity> sensitivity_or(std::optional<std::string_view> text, core::Sensitivity fallback);
// The sensitivity of a record being created, medium when none is asked,
// after the size checks of its description and word.
SessionResult<core::Sensitivity> creation_sensitivity(std::optional<std::string_view> sensitivity,
                                                      std::optional<std::string_view> description);
// The environment name of a concrete coordinate.
std::string env_of(const core::Coordinate& coordinate);
std::optional<std::string> origin_for(std::optional<std::string_view> project);

}  // namespace tarnel::session
