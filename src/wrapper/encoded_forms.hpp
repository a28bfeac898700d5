#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/model/secret.hpp"

namespace tarnel::wrapper {

// Shorter forms would mask ordinary text too often.
inline constexpr std::size_t kMinFormSize = 8;

// The forms in which a child may print a secret without its bytes appearing
// as they are, for every secret of at least kMinFormSize bytes:
// - base64, standard and URL-safe: the characters that depend on the secret's
//   bits alone when 0, 1 or 2 bytes precede it in the encoded data, and the
//   same run carried to the end of the data (final partial character, with
//   and without '=' padding) for when the secret ends it;
// - hex, lower and upper case;
// - percent-encoding of every byte outside A-Za-z0-9-._~, %XX in upper and in
//   lower case;
// and every line (split at line feed, a carriage return before it dropped) of
// a multi-line secret. Forms shorter than kMinFormSize and forms identical to
// a secret or to another form are left out. Longest first, so that where two
// forms overlap in an output the longer one is masked whole.
std::vector<core::SecretValue> encoded_forms(std::span<const core::SecretValue> secrets);

}  // namespace tarnel::wrapper
