#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/master_key.hpp"
#include "core/record.hpp"
#include "core/secret.hpp"

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

// Encodes the record's JSON and seals it; the JSON is wiped on every path.
Result<SealedRecord> seal(const SecretRecord& record, const MasterKey& key);
// Seals arbitrary bytes under a fresh random nonce, without associated data.
Result<SealedRecord> seal_bytes(std::span<const std::uint8_t> plaintext, const MasterKey& key);
// Authenticates and decrypts. Every failure is the bare Crypto error, so a
// wrong key and damaged data cannot be told apart.
Result<SecretValue> open_bytes(const SealedRecord& sealed, const MasterKey& key);
// open_bytes, then decodes the record; the plaintext is wiped on every path.
Result<SecretRecord> open_sealed(const SealedRecord& sealed, const MasterKey& key);

}  // namespace tarnel::core
