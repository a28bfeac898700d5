#include "core/keys/crypto.hpp"

#include <sodium.h>

#include "core/codec/record_json.hpp"
#include "core/keys/sodium.hpp"

namespace tarnel::core {

static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == kNonceBytes);
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == kTagBytes);
static_assert(crypto_aead_chacha20poly1305_ietf_KEYBYTES == MasterKey::kSize);

Result<SealedRecord> seal_bytes(std::span<const std::uint8_t> plaintext, const MasterKey& key) {
    if (!sodium_ready()) return fail(CoreError::crypto());
    SealedRecord sealed{std::vector<std::uint8_t>(kNonceBytes),
                        std::vector<std::uint8_t>(plaintext.size() + kTagBytes)};
    ::randombytes_buf(sealed.nonce.data(), sealed.nonce.size());
    unsigned long long written = 0;
    // The key is used in place: no copy of it is made that would need wiping.
    const int rc = ::crypto_aead_chacha20poly1305_ietf_encrypt(sealed.ciphertext.data(), &written, plaintext.data(),
                                                               plaintext.size(), nullptr, 0, nullptr,
                                                               sealed.nonce.data(), key.expose_secret().data());
    if (rc != 0 || written != sealed.ciphertext.size()) return fail(CoreError::crypto());
    return sealed;
}

Result<SealedRecord> seal(const SecretRecord& record, const MasterKey& key) {
    // The JSON holds the secret; SecretValue wipes it whether sealing succeeds or not.
    Result<SecretValue> json = encode_record(record);
    if (!json) return fail(std::move(json.error()));
    return seal_bytes(json->expose_secret(), key);
}

Result<SecretValue> open_bytes(const SealedRecord& sealed, const MasterKey& key) {
    if (sealed.nonce.size() != kNonceBytes) return fail(CoreError::crypto());
    if (sealed.ciphertext.size() < kTagBytes) return fail(CoreError::crypto());
    if (!sodium_ready()) return fail(CoreError::crypto());
    SecretValue plaintext = SecretValue::zeroed(sealed.ciphertext.size() - kTagBytes);
    unsigned long long length = 0;
    const int rc = ::crypto_aead_chacha20poly1305_ietf_decrypt(
        plaintext.expose_secret_mut().data(), &length, nullptr, sealed.ciphertext.data(), sealed.ciphertext.size(),
        nullptr, 0, sealed.nonce.data(), key.expose_secret().data());
    if (rc != 0) return fail(CoreError::crypto());
    plaintext.truncate(static_cast<std::size_t>(length));
    return plaintext;
}

Result<SecretRecord> open_sealed(const SealedRecord& sealed, const MasterKey& key) {
    Result<SecretValue> plaintext = open_bytes(sealed, key);
    if (!plaintext) return fail(std::move(plaintext.error()));
    // The plaintext is dropped (and wiped) on leaving, decoded or not.
    return decode_record(plaintext->expose_secret());
}

}  // namespace tarnel::core
