#pragma once

// Byte arrays written as JSON by our own writers, [97,98,99]: entries of one
// to three canonical decimal digits separated by single commas. Both readers
// of such arrays (the envelope's and the record's) decode that exact form
// here and leave anything else to their general parsers.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace tarnel::core::decimal_bytes {

// Bytes that may be loaded past data + size by read_to_close; the caller
// makes sure they are readable (their values do not matter).
inline constexpr std::size_t kReadPast = 4;

// One array entry and the character after it, decoded from the four bytes at
// its start without a branch on its digit count.
struct CanonicalEntry {
    std::uint32_t value;
    std::uint32_t digits;
    bool canonical;            // one to three digits, no leading zero, at most 255
    std::uint32_t terminator;  // the byte after the digits
};

// Always inlined: a call per entry would cost as much as the decoding.
[[gnu::always_inline]] inline CanonicalEntry canonical_entry(const std::uint8_t* at) noexcept {
    std::uint32_t word = 0;
    std::memcpy(&word, at, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    // Digits become 0 to 9; a byte is a digit exactly when it stays below 10.
    // Masking bit 7 first keeps the addition from carrying into the next byte.
    const std::uint32_t values = word ^ 0x30303030u;
    const std::uint32_t non_digits = (((values & 0x7f7f7f7fu) + 0x76767676u) | values) & 0x80808080u;
    // The fourth byte counts as a non-digit: four digits then fail on their terminator.
    const auto digits = static_cast<std::uint32_t>(std::countr_zero(non_digits | 0x80000000u)) / 8;
    const std::uint32_t shift = 8 * digits;
    // Moves the last digit to byte 3, so bytes 1 to 3 hold hundreds, tens and
    // units; with no digits at all they are zero.
    const std::uint64_t aligned = std::uint64_t{values} << (32 - shift);
    const auto value = static_cast<std::uint32_t>(((aligned >> 8) & 0xff) * 100 + ((aligned >> 16) & 0xff) * 10 +
                                                  ((aligned >> 24) & 0xff));
    // Per digit count (bytes 0 to 3): the smallest value written with that
    // many digits and how far the largest lies above it. A smaller value has a
    // leading zero; zero digits give 0, below the 1 of byte 0.
    const std::uint32_t smallest = (0x640a0001u >> shift) & 0xff;
    const std::uint32_t spread = (0x9b590900u >> shift) & 0xff;
    return {value, digits, value - smallest <= spread, (word >> shift) & 0xff};
}

// Entries from pos until one ends with ']', into out; pos ends past it. An
// entry counts only when its digits and terminator lie inside data[0, size).
// Their count, or nothing when the entries up to there are not all canonical
// (out may then hold some of them). Loads four bytes at each entry's start,
// at most kReadPast bytes beyond data + size. Out of line: inlined into the
// envelope's reader it made that reader slower.
std::optional<std::size_t> read_to_close(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                                         std::uint8_t* out) noexcept;

}  // namespace tarnel::core::decimal_bytes
