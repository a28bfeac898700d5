// Sealing and the wiped thread stacks the key derivation runs on.

#include "core/keys/crypto.hpp"

#include <algorithm>
#include <cstring>

#include "core/keys/thread_stack.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

TEST(Seal, FreshNonceEachTimeAndAnyAlteredByteOrAnotherKeyFailsAlike) {
    const MasterKey key = key_of(3);
    const SecretRecord record = literal(coordinate("secret:dev/app/token"), "s3cret");
    Result<SealedRecord> sealed = seal(record, key);
    ASSERT_TRUE(sealed);
    EXPECT_NE(seal(record, key)->nonce, sealed->nonce);
    EXPECT_EQ(literal_value(*open_sealed(*sealed, key)), "s3cret");
    EXPECT_EQ(open_sealed(*sealed, key_of(4)).error().display(), "crypto operation failed");
    const std::size_t nonce = sealed->nonce.size();
    std::vector<SealedRecord> broken(2 + nonce + sealed->ciphertext.size(), *sealed);
    broken[0].ciphertext.resize(kTagBytes - 1);
    // The first 12 bytes are the right nonce: a reader that looked only at a prefix would open this.
    broken[1].nonce.resize(24, 0);
    for (std::size_t i = 0; i < nonce; ++i) broken[2 + i].nonce[i] ^= 0x01;
    for (std::size_t i = 0; i < sealed->ciphertext.size(); ++i) broken[2 + nonce + i].ciphertext[i] ^= 0x80;
    for (const auto& each : broken) EXPECT_EQ(open_sealed(each, key).error().display(), "crypto operation failed");
}

// Guards: an empty value handed memset a null pointer (SecretValue::zeroed(0)); opening reaches it too.
TEST(Seal, EmptyPlaintextOpensToNothingAndNoRecordIsASerializationError) {
    const MasterKey key = key_of(6);
    EXPECT_EQ(open_bytes(seal_bytes({}, key).value(), key).value().size(), 0U);
    EXPECT_EQ(open_sealed(*seal_bytes(bytes_of("{}"), key), key).error().kind(), ErrorKind::Serialization);
}

// Guards: pieces of the derived key stayed on the Argon2 worker's cached stack (memory residue).
TEST(ThreadStack, WipeZeroesTheTouchedPagesAndLeavesTheMappingUsable) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    auto stack = ThreadStack::map(16 * page);
    ASSERT_TRUE(stack) << stack.error().display();
    const std::span bytes(static_cast<std::uint8_t*>(stack->base()), stack->size());
    // The top, the bottom and a page in between, as a thread might leave them.
    std::memset(bytes.data(), 0xA5, 64);
    std::memset(bytes.data() + 7 * page + 100, 0xA5, 300);
    std::memset(bytes.data() + bytes.size() - 256, 0xA5, 256);
    stack->wipe();
    EXPECT_TRUE(std::ranges::all_of(bytes, [](std::uint8_t b) { return b == 0; }));
    bytes[1] = 1;
    EXPECT_EQ(bytes[1], 1);
}

}  // namespace
}  // namespace tarnel::core
