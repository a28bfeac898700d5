#pragma once

// Keyed proofs: what a process without the vault key cannot make. Each is an
// HMAC-SHA-512-256 (libsodium's crypto_auth) under a subkey of the master key
// derived for one purpose only (crypto_kdf), so a proof made for one purpose
// is never accepted for another.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/keys/master_key.hpp"

namespace tarnel::core {

enum class ProofPurpose : std::uint8_t {
    Request,    // a confirmation request, as the module wrote it
    Answer,     // the owner's approval of one request
    Allowlist,  // the executor allowlist, as the owner sealed it
};

inline constexpr std::size_t kProofBytes = 32;
using Proof = std::array<std::uint8_t, kProofBytes>;

// The subkey of one purpose; wiped when dropped.
class ProofKey {
public:
    // None only when libsodium could not start.
    static std::optional<ProofKey> derive(const MasterKey& master, ProofPurpose purpose) noexcept;

    ProofKey(ProofKey&& other) noexcept;
    ProofKey& operator=(ProofKey&& other) noexcept;
    ProofKey(const ProofKey&) = delete;
    ProofKey& operator=(const ProofKey&) = delete;
    ~ProofKey();

    Proof sign(std::span<const std::uint8_t> message) const noexcept;
    Proof sign(std::string_view message) const noexcept;
    // Compared in constant time.
    bool verify(std::string_view message, const Proof& proof) const noexcept;

private:
    ProofKey() noexcept = default;
    std::array<std::uint8_t, kProofBytes> bytes_{};
};

// 64 lower-case hexadecimal digits, and back (none for anything else).
std::string proof_hex(const Proof& proof);
std::optional<Proof> proof_from_hex(std::string_view text);

// A sealed JSON file is one object whose last member is "mac": the proof of
// every byte that comes before `,"mac":"`. `open_object` is the object
// without its closing brace.
std::string seal_object(std::string_view open_object, const ProofKey& key);

enum class SealState : std::uint8_t { Sealed, Unsealed, Broken };
struct SealCheck {
    SealState state;
    Proof mac{};  // the file's proof, when Sealed
};
// Unsealed when the text does not end in a "mac" member of that form; Broken
// when it does and the proof does not match.
SealCheck check_sealed_object(std::string_view text, const ProofKey& key);

}  // namespace tarnel::core
