#include "core/codec/unicode_space.hpp"

#include <array>

namespace tarnel::core {

namespace {

constexpr std::array<std::string_view, 25> kUnicodeSpaces{
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

// In valid UTF-8 a lead byte never occurs inside a character, so matching
// whole encoded characters at an end is unambiguous.
bool strip_one_space(std::string_view& text, bool front) noexcept {
    for (const auto space : kUnicodeSpaces) {
        if (front && text.starts_with(space)) {
            text.remove_prefix(space.size());
            return true;
        }
        if (!front && text.ends_with(space)) {
            text.remove_suffix(space.size());
            return true;
        }
    }
    return false;
}

}  // namespace

std::size_t unicode_space_at(std::string_view text) noexcept {
    for (const auto space : kUnicodeSpaces) {
        if (text.starts_with(space)) return space.size();
    }
    return 0;
}

std::string_view trim_unicode_space(std::string_view text) noexcept {
    while (strip_one_space(text, true)) {
    }
    while (strip_one_space(text, false)) {
    }
    return text;
}

}  // namespace tarnel::core
