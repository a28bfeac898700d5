#pragma once

#include <cstdint>
#include <span>

#include "core/secret.hpp"

namespace tarnel::wrapper {

// Replaces every occurrence of each secret, in the order given, by "***":
// left to right, non-overlapping, each secret matched against the text the
// earlier ones left. Empty secrets and secrets longer than the text are skipped.
core::SecretValue mask_secrets(std::span<const std::uint8_t> output, std::span<const core::SecretValue> secrets);

// mask_secrets, then the forms a child may re-encode a secret in: base64
// (standard and URL-safe, padded or not, at each byte alignment), hex in
// either case and percent-encoding of every secret of at least 8 bytes, and
// every line of at least 8 bytes of a multi-line secret.
core::SecretValue mask_output(std::span<const std::uint8_t> output, std::span<const core::SecretValue> secrets);

}  // namespace tarnel::wrapper
