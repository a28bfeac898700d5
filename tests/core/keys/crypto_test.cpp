#include "core/keys/crypto.hpp"

#include <gtest/gtest.h>

#include <string_view>

#include "core/model/record.hpp"
#include "core/codec/record_json.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

SecretRecord literal(std::string_view value) { return tarnel::testing::literal(coordinate("secret:dev/app/token"), value); }

TEST(Seal, TwiceGivesFreshNoncesAndBothOpen) {
    const MasterKey key = key_of(7);
    const SecretRecord record = literal("s3cret");
    Result<SealedRecord> first = seal(record, key);
    Result<SealedRecord> second = seal(record, key);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->nonce.size(), kNonceBytes);
    EXPECT_NE(first->nonce, second->nonce);
    EXPECT_NE(first->ciphertext, second->ciphertext);
    for (const SealedRecord* sealed : {&*first, &*second}) {
        Result<SecretRecord> opened = open_sealed(*sealed, key);
        ASSERT_TRUE(opened) << opened.error().display();
        EXPECT_EQ(literal_value(*opened), "s3cret");
        EXPECT_EQ(opened->meta.key, "token");
    }
    Result<SecretValue> json = encode_record(record);
    ASSERT_TRUE(json);
    EXPECT_EQ(first->ciphertext.size(), json->size() + kTagBytes);
}

TEST(Seal, AnyAlteredByteOrAnotherKeyFailsAlike) {
    const MasterKey key = key_of(3);
    Result<SealedRecord> sealed = seal(literal("v"), key);
    ASSERT_TRUE(sealed);
    const auto expect_crypto = [&](const SealedRecord& candidate, const MasterKey& with) {
        Result<SecretRecord> opened = open_sealed(candidate, with);
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().kind(), ErrorKind::Crypto);
        EXPECT_EQ(opened.error().display(), "crypto operation failed");
    };
    for (std::size_t i = 0; i < sealed->nonce.size(); ++i) {
        SealedRecord altered = *sealed;
        altered.nonce[i] ^= 0x01;
        expect_crypto(altered, key);
    }
    for (std::size_t i = 0; i < sealed->ciphertext.size(); ++i) {
        SealedRecord altered = *sealed;
        altered.ciphertext[i] ^= 0x80;
        expect_crypto(altered, key);
    }
    SealedRecord truncated = *sealed;
    truncated.ciphertext.resize(kTagBytes - 1);
    expect_crypto(truncated, key);
    expect_crypto(*sealed, key_of(4));
    // The first 12 bytes are the right nonce: a reader that only looked at a
    // prefix would decrypt this successfully.
    SealedRecord long_nonce = *sealed;
    long_nonce.nonce.resize(24, 0);
    expect_crypto(long_nonce, key);
}

TEST(Seal, PlaintextThatIsNoRecordIsASerializationError) {
    const MasterKey key = key_of(6);
    Result<SealedRecord> sealed = seal_bytes(bytes_of("{}"), key);
    ASSERT_TRUE(sealed);
    Result<SecretRecord> opened = open_sealed(*sealed, key);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().kind(), ErrorKind::Serialization);
    Result<SecretValue> raw = open_bytes(*sealed, key);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->expose_secret_chars(), "{}");
}

}  // namespace
}  // namespace tarnel::core
