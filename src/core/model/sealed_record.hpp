#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnel::core {

// ChaCha20-Poly1305 (RFC 8439): 12-byte nonce, 16-byte tag appended to the ciphertext.
inline constexpr std::size_t kNonceBytes = 12;
inline constexpr std::size_t kTagBytes = 16;

// One record encrypted under the master key. Neither field is secret.
struct SealedRecord {
    std::vector<std::uint8_t> nonce;
    std::vector<std::uint8_t> ciphertext;

    friend bool operator==(const SealedRecord&, const SealedRecord&) = default;
};

}  // namespace tarnel::core
