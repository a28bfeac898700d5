#include "cli/terminal_text.hpp"

#include <fmt/format.h>

namespace tarnel::cli {

std::string terminal_safe(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = [&](std::size_t k) {
            return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
        };
        if (byte < 0x20 || byte == 0x7f) {
            out += fmt::format("\\x{:02x}", byte);
        } else if (byte == 0xc2 && next(1) >= 0x80 && next(1) <= 0x9f) {
            out += fmt::format("\\u{:04x}", next(1));
            ++i;
        } else if (byte == 0xe2 && ((next(1) == 0x80 && next(2) >= 0xaa && next(2) <= 0xae) ||
                                    (next(1) == 0x81 && next(2) >= 0xa6 && next(2) <= 0xa9))) {
            out += fmt::format("\\u{:04x}", 0x2000 + (next(1) - 0x80) * 0x40 + (next(2) - 0x80));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace tarnel::cli
