#include "core/codec/utf8.hpp"

namespace tarnel::core {

std::size_t utf8_sequence_length(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t k) -> unsigned {
        return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0u;
    };
    const unsigned lead = byte(0);
    if (at < text.size() && lead < 0x80) return 1;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    // byte() reads 0 past the end, which fails every continuation check.
    if (byte(1) < low || byte(1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((byte(k) & 0xC0u) != 0x80u) return 0;
    }
    return length;
}

bool is_valid_utf8(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

}  // namespace tarnel::core
