#include "core/codec/decimal_bytes.hpp"

namespace tarnel::core::decimal_bytes {

// Raw pointers and locals: stores through a byte pointer may alias anything,
// and would make the compiler reload members on every entry.
std::optional<std::size_t> read_to_close(const std::uint8_t* data, std::size_t size, std::size_t& pos,
                                         std::uint8_t* out) noexcept {
    std::size_t at = pos;
    std::size_t count = 0;
    for (;;) {
        const CanonicalEntry entry = canonical_entry(data + at);
        const bool last = entry.terminator == ']';
        // The entry's digits and terminator must all lie inside the input.
        if (!entry.canonical || !(last || entry.terminator == ',') || entry.digits >= size - at) return std::nullopt;
        out[count++] = static_cast<std::uint8_t>(entry.value);
        at += entry.digits + 1;
        if (last) break;
    }
    pos = at;
    return count;
}

}  // namespace tarnel::core::decimal_bytes
