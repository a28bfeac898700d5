#pragma once

#include <cstdint>
#include <span>

#include "core/base/error.hpp"
#include "core/model/record.hpp"
#include "core/model/secret.hpp"

namespace tarnel::core {

// Compact JSON with members in the fixed order readers rely on. The text holds
// the secret bytes, hence the SecretValue. Fails only for text fields that are
// not valid UTF-8.
Result<SecretValue> encode_record(const SecretRecord& record);

// Strict reading: duplicate members, missing members, unknown words, out-of-range
// numbers and trailing content are Serialization errors; unknown members are
// ignored. The input may hold secrets, so error texts quote only rejected
// enumerated words and integers, never strings or byte values.
Result<SecretRecord> decode_record(std::span<const std::uint8_t> json);

// decode_record without its shortcut for byte arrays in the exact form
// encode_record writes, declared here so that tests and the fuzz target can
// check that both give the same record or the same error text for any input.
Result<SecretRecord> decode_record_strict(std::span<const std::uint8_t> json);

}  // namespace tarnel::core
