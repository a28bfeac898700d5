#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/base/error.hpp"
#include "core/keys/master_key.hpp"
#include "core/model/record.hpp"
#include "core/model/sealed_record.hpp"
#include "core/model/secret.hpp"

namespace tarnel::core {

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
