#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/base/error.hpp"
#include "core/model/sealed_record.hpp"

namespace tarnel::core {

// {"nonce":[...],"ciphertext":[...]}: compact, members in this order.
std::string sealed_to_json(const SealedRecord& sealed);
void append_sealed_json(const SealedRecord& sealed, std::string& out);
// Strict: both members required, no duplicates (compared after unescaping),
// array entries only integers 0 to 255, whitespace around the object allowed
// and nothing else after it. Unknown members are skipped.
Result<SealedRecord> sealed_from_json(std::span<const std::uint8_t> json);
// Readable bytes the reader needs past the end of its input to read it in place.
inline constexpr std::size_t kSealedJsonPadding = 64;
// sealed_from_json without a copy: kSealedJsonPadding readable bytes must
// follow the input in memory (their values do not matter). Tries
// fast_sealed_from_padded_json first and the strict reader after it, so the
// value or the error text is always the strict reader's.
Result<SealedRecord> sealed_from_padded_json(std::span<const std::uint8_t> json);

// The two halves of sealed_from_padded_json, declared here so that tests, the
// fuzz target and the benchmark can compare them; same padding requirement.
// The strict reader alone:
Result<SealedRecord> sealed_from_padded_json_strict(std::span<const std::uint8_t> json);
// Only the exact form append_sealed_json writes; nothing for any other input.
std::optional<SealedRecord> fast_sealed_from_padded_json(std::span<const std::uint8_t> json);

}  // namespace tarnel::core
