#pragma once

// Time-based one-time passwords (RFC 6238): reading an enrolment, as an
// otpauth:// URI or a bare base32 seed, and deriving a code from it.

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/error.hpp"
#include "core/model/record.hpp"
#include "core/model/secret.hpp"

namespace tarnel::core {

// RFC 4226 asks for at least six digits; a 31-bit truncated value has at most ten.
inline constexpr std::uint64_t kTotpMinDigits = 6;
inline constexpr std::uint64_t kTotpMaxDigits = 10;
// The record keeps the period in one byte.
inline constexpr std::uint64_t kTotpMaxPeriod = 255;

// What may be given beside a bare seed; absent ones default to SHA-1, six
// digits and thirty seconds.
struct TotpSettings {
    std::optional<std::string_view> algorithm = std::nullopt;
    std::optional<std::uint64_t> digits = std::nullopt;
    std::optional<std::uint64_t> period = std::nullopt;

    bool empty() const noexcept { return !algorithm && !digits && !period; }
};

// RFC 4648 base32 as people copy it: either case, spaces anywhere, the "="
// padding optional. The secret's characters never appear in an error.
Result<SecretValue> decode_base32(std::string_view text);

// "sha1", "sha256" or "sha512", in any case and with an optional hyphen
// ("SHA-256"), as otpauth URIs and people write them.
Result<TotpAlgorithm> parse_totp_algorithm(std::string_view word);

// An enrolment: an otpauth://totp/ URI (which carries its own settings, so
// none may be given beside it) or a bare base32 seed with the given settings.
Result<TotpRecord> parse_totp_enrolment(std::string_view text, const TotpSettings& settings);

// The code for the time step holding `unix_secs`, zero-padded to the record's
// digits.
Result<SecretValue> totp_code(const TotpRecord& totp, std::uint64_t unix_secs);

}  // namespace tarnel::core
