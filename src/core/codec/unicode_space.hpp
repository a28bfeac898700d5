#pragma once

#include <cstddef>
#include <string_view>

namespace tarnel::core {

// Strips Unicode White_Space characters (the ASCII ones, U+0085, U+00A0,
// U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) from both
// ends of UTF-8 text. Whole encoded characters are matched, so on valid UTF-8
// a character is never split.
std::string_view trim_unicode_space(std::string_view text) noexcept;

// The length in bytes of the White_Space character the text starts with; 0
// when it starts with none.
std::size_t unicode_space_at(std::string_view text) noexcept;

}  // namespace tarnel::core
