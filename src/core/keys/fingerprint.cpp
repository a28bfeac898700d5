#include "core/keys/fingerprint.hpp"

#include <sodium.h>

#include "core/base/digest.hpp"

namespace tarnel::core {

std::string fingerprint(std::span<const std::uint8_t> bytes) {
    Blake3Digest digest = blake3_digest(bytes);
    std::string hex = to_lower_hex(std::span(digest).first(4));
    // The full digest of a low-entropy value would help anyone guessing it.
    sodium_memzero(digest.data(), digest.size());
    return hex;
}

}  // namespace tarnel::core
