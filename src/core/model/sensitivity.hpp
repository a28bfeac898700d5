#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnel::core {

// Ordered lowest first: comparing two values compares their levels.
enum class Sensitivity : std::uint8_t { Low, Medium, High, InjectOnly };

// The stored word: "low", "medium", "high", "inject-only".
std::string_view sensitivity_word(Sensitivity level) noexcept;
// The four stored words, lowest level first.
std::span<const std::string_view> sensitivity_words() noexcept;
// Exactly the four stored words, case-sensitive.
std::optional<Sensitivity> sensitivity_from_word(std::string_view word) noexcept;
// A word as a person or an agent types it: case-insensitive, "_" read as "-",
// and "injectonly" accepted. The error is the refusal text, naming the word
// as normalised.
std::expected<Sensitivity, std::string> parse_sensitivity(std::string_view text);
// The debug name: Low, Medium, High, InjectOnly.
std::string_view sensitivity_debug_name(Sensitivity level) noexcept;

}  // namespace tarnel::core
