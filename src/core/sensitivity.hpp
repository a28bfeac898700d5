#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnel::core {

// Ordered lowest first: comparing two values compares their levels.
enum class Sensitivity : std::uint8_t { Low, Medium, High, InjectOnly };

// The stored word: "low", "medium", "high", "inject-only".
std::string_view sensitivity_word(Sensitivity level) noexcept;
// Exactly the four stored words, case-sensitive.
std::optional<Sensitivity> sensitivity_from_word(std::string_view word) noexcept;
// The debug name: Low, Medium, High, InjectOnly.
std::string_view sensitivity_debug_name(Sensitivity level) noexcept;

}  // namespace tarnel::core
