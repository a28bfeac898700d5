#include "core/digest.hpp"

#include <blake3.h>
#include <sodium.h>

namespace tarnel::core {

Blake3Digest blake3_digest(std::span<const std::uint8_t> bytes) noexcept {
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, bytes.data(), bytes.size());
    Blake3Digest digest{};
    blake3_hasher_finalize(&hasher, digest.data(), digest.size());
    // The hasher state holds the input's chaining values; some inputs are secrets.
    sodium_memzero(&hasher, sizeof hasher);
    return digest;
}

std::string blake3_hex(std::span<const std::uint8_t> bytes) {
    return to_lower_hex(blake3_digest(bytes));
}

std::string blake3_hex(std::string_view text) {
    return blake3_hex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string to_lower_hex(std::span<const std::uint8_t> bytes) {
    std::string hex(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
    hex.pop_back();
    return hex;
}

}  // namespace tarnel::core
