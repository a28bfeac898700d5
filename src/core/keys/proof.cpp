#include "core/keys/proof.hpp"

#include <sodium.h>

#include <utility>

#include "core/keys/sodium.hpp"

namespace tarnel::core {

namespace {

static_assert(kProofBytes == crypto_auth_hmacsha512256_BYTES);
static_assert(kProofBytes == crypto_auth_hmacsha512256_KEYBYTES);
static_assert(MasterKey::kSize == crypto_kdf_KEYBYTES);

// crypto_kdf contexts are exactly eight bytes; each purpose has its own.
const char* context_of(ProofPurpose purpose) noexcept {
    switch (purpose) {
        case ProofPurpose::Request: return "tnrqst01";
        case ProofPurpose::Answer: return "tnansr01";
        case ProofPurpose::Allowlist: return "tnalst01";
    }
    return "tnunkn01";
}

constexpr std::string_view kMacOpen = ",\"mac\":\"";
constexpr std::string_view kMacClose = "\"}";
constexpr std::size_t kMacTail = kMacOpen.size() + 2 * kProofBytes + kMacClose.size();

}  // namespace

std::optional<ProofKey> ProofKey::derive(const MasterKey& master, ProofPurpose purpose) noexcept {
    if (!sodium_ready()) return std::nullopt;
    ProofKey key;
    crypto_kdf_derive_from_key(key.bytes_.data(), key.bytes_.size(), 1, context_of(purpose),
                               master.expose_secret().data());
    return key;
}

ProofKey::ProofKey(ProofKey&& other) noexcept : bytes_(other.bytes_) {
    sodium_memzero(other.bytes_.data(), other.bytes_.size());
}

ProofKey& ProofKey::operator=(ProofKey&& other) noexcept {
    if (this != &other) {
        bytes_ = other.bytes_;
        sodium_memzero(other.bytes_.data(), other.bytes_.size());
    }
    return *this;
}

ProofKey::~ProofKey() { sodium_memzero(bytes_.data(), bytes_.size()); }

Proof ProofKey::sign(std::span<const std::uint8_t> message) const noexcept {
    Proof proof{};
    crypto_auth_hmacsha512256(proof.data(), message.data(), message.size(), bytes_.data());
    return proof;
}

Proof ProofKey::sign(std::string_view message) const noexcept {
    return sign({reinterpret_cast<const std::uint8_t*>(message.data()), message.size()});
}

bool ProofKey::verify(std::string_view message, const Proof& proof) const noexcept {
    return crypto_auth_hmacsha512256_verify(proof.data(), reinterpret_cast<const std::uint8_t*>(message.data()),
                                            message.size(), bytes_.data()) == 0;
}

std::string proof_hex(const Proof& proof) {
    std::string hex(2 * kProofBytes + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), proof.data(), proof.size());
    hex.pop_back();
    return hex;
}

std::optional<Proof> proof_from_hex(std::string_view text) {
    if (text.size() != 2 * kProofBytes) return std::nullopt;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    Proof proof{};
    std::size_t length = 0;
    if (sodium_hex2bin(proof.data(), proof.size(), text.data(), text.size(), nullptr, &length, nullptr) != 0 ||
        length != kProofBytes) {
        return std::nullopt;
    }
    return proof;
}

std::string seal_object(std::string_view open_object, const ProofKey& key) {
    std::string sealed(open_object);
    sealed += kMacOpen;
    sealed += proof_hex(key.sign(open_object));
    sealed += kMacClose;
    return sealed;
}

SealCheck check_sealed_object(std::string_view text, const ProofKey& key) {
    if (text.size() <= kMacTail || !text.ends_with(kMacClose)) return {SealState::Unsealed};
    const std::string_view body = text.substr(0, text.size() - kMacTail);
    const std::string_view tail = text.substr(body.size());
    if (!tail.starts_with(kMacOpen)) return {SealState::Unsealed};
    const auto mac = proof_from_hex(tail.substr(kMacOpen.size(), 2 * kProofBytes));
    if (!mac) return {SealState::Unsealed};
    if (!key.verify(body, *mac)) return {SealState::Broken};
    return {SealState::Sealed, *mac};
}

}  // namespace tarnel::core
