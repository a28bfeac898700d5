#pragma once

#include <cstddef>
#include <string_view>

namespace tarnel::core {

// Length of the well-formed UTF-8 sequence starting at text[at] (1 for
// ASCII), or 0 when none starts there: overlong forms, surrogates, code points
// past U+10FFFF and truncated sequences all give 0.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) noexcept;

bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace tarnel::core
