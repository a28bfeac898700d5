#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "core/model/secret.hpp"
#include "core/model/sensitivity.hpp"

namespace tarnel::core {

// Declaration order is the documented order of the values.
enum class KeyAlgorithm : std::uint8_t { Ed25519, Rsa };
enum class TotpAlgorithm : std::uint8_t { Sha1, Sha256, Sha512 };

// The stored words: "ed25519", "rsa"; "sha1", "sha256", "sha512".
std::string_view key_algorithm_word(KeyAlgorithm algorithm) noexcept;
std::optional<KeyAlgorithm> key_algorithm_from_word(std::string_view word) noexcept;
std::string_view totp_algorithm_word(TotpAlgorithm algorithm) noexcept;
std::optional<TotpAlgorithm> totp_algorithm_from_word(std::string_view word) noexcept;
// Every stored word in declaration order, for texts listing the accepted ones.
std::span<const std::string_view> key_algorithm_words() noexcept;
std::span<const std::string_view> totp_algorithm_words() noexcept;

struct LiteralRecord {
    SecretValue value;
};

// The secret itself lives with an outside provider; ref is its URI.
struct ReferenceRecord {
    std::string ref;
};

struct KeypairRecord {
    KeyAlgorithm algorithm = KeyAlgorithm::Ed25519;
    std::optional<SecretValue> private_key;  // absent for a public-only keypair
    std::string public_key;
};

struct TotpRecord {
    SecretValue seed;
    TotpAlgorithm algorithm = TotpAlgorithm::Sha1;
    std::uint8_t digits = 6;   // RFC 6238's usual values
    std::uint8_t period = 30;  // seconds
};

struct RecordMetadata {
    // Errs on the restrictive side for a record built without an explicit level.
    Sensitivity sensitivity = Sensitivity::High;
    bool revealable = false;
    std::string environment;
    std::string component;
    std::string key;
    std::optional<std::string> description;
    std::string created;  // RFC 3339 UTC
    std::string updated;
};

// Alternative order is the order of the tag words "literal", "reference",
// "keypair", "totp".
using RecordKind = std::variant<LiteralRecord, ReferenceRecord, KeypairRecord, TotpRecord>;

// The tag words, indexed like RecordKind's alternatives.
std::span<const std::string_view> tag_words() noexcept;

// What the vault stores for one coordinate. Move-only like the secrets it holds;
// clone() is the explicit copy.
struct SecretRecord {
    RecordKind kind;
    RecordMetadata meta;

    // "environment/component/key": the path whose digest names the record's file.
    std::string canonical_path() const;
    // The tag word written as "mode".
    std::string_view tag_word() const noexcept;
    SecretRecord clone() const;
};

}  // namespace tarnel::core
