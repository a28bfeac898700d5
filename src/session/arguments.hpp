#pragma once

// The argument texts every operation shares, read the same way for each face.

#include <optional>
#include <string>
#include <string_view>

#include "core/coordinate.hpp"
#include "core/sensitivity.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

// A concrete coordinate, or the parser's text as an Other error.
SessionResult<core::Coordinate> parse_concrete(std::string_view text);
// A sensitivity word as people type it (see core::parse_sensitivity).
SessionResult<core::Sensitivity> parse_sensitivity(std::string_view text);
// The word when one is given, else `fallback`.
SessionResult<core::Sensitivity> sensitivity_or(std::optional<std::string_view> text, core::Sensitivity fallback);
// The environment name of a concrete coordinate.
std::string env_of(const core::Coordinate& coordinate);
std::optional<std::string> origin_for(std::optional<std::string_view> project);

}  // namespace tarnel::session
