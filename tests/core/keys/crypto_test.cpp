// Sealing, fingerprints and the wiped thread stacks the key derivation runs on.

#include "core/keys/crypto.hpp"

#include <algorithm>
#include <cstring>

#include "core/base/digest.hpp"
#include "core/core_support.hpp"
#include "core/keys/fingerprint.hpp"
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
    EXPECT_EQ(sealed->nonce.size(), kNonceBytes);
    EXPECT_NE(seal(record, key)->nonce, sealed->nonce);
    EXPECT_EQ(literal_value(*open_sealed(*sealed, key)), "s3cret");
    std::vector<std::pair<SealedRecord, const MasterKey*>> broken = {{*sealed, &key}, {*sealed, &key}, {*sealed, &key}};
    broken[0].first.ciphertext.resize(kTagBytes - 1);
    // The first 12 bytes are the right nonce: a reader that looked only at a prefix would open this.
    broken[1].first.nonce.resize(24, 0);
    const MasterKey other = key_of(4);
    broken[2].second = &other;
    for (std::size_t i = 0; i < sealed->nonce.size() + sealed->ciphertext.size(); ++i) {
        broken.emplace_back(*sealed, &key);
        if (i < sealed->nonce.size()) broken.back().first.nonce[i] ^= 0x01;
        else broken.back().first.ciphertext[i - sealed->nonce.size()] ^= 0x80;
    }
    for (const auto& [candidate, with] : broken) {
        EXPECT_EQ(open_sealed(candidate, *with).error().display(), "crypto operation failed");
    }
}

// Guards: an empty value handed memset a null pointer (SecretValue::zeroed(0)); opening reaches it too.
TEST(Seal, EmptyPlaintextOpensToNothingAndNoRecordIsASerializationError) {
    const MasterKey key = key_of(6);
    Result<SealedRecord> empty = seal_bytes({}, key);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->ciphertext.size(), kTagBytes);
    EXPECT_EQ(open_bytes(*empty, key)->size(), 0U);
    EXPECT_EQ(open_sealed(*seal_bytes(bytes_of("{}"), key), key).error().kind(), ErrorKind::Serialization);
}

// BLAKE3 from Python's `blake3` package, an implementation independent of ours.
// A coordinate's storage id is this digest of its canonical path (see
// fuzz/coordinate_fuzz.cpp), so this pins record file names too.
TEST(Fingerprint, IsTheDigestPrefixOfAnIndependentBlake3) {
    for (const std::string& input :
         {std::string(), std::string("abc"), std::string(1025, '\xA5'), std::string("\x00\xff\xc3\x28", 4)}) {
        const ChildResult reference = run_child(
            {TARNEL_TEST_PYTHON, "-c", "import sys, blake3; print(blake3.blake3(bytes.fromhex(sys.argv[1])).hexdigest())",
             to_lower_hex(bytes_of(input))});
        ASSERT_EQ(reference.exit_code, 0);
        EXPECT_EQ(blake3_hex(bytes_of(input)) + "\n", reference.out);
        EXPECT_EQ(fingerprint(bytes_of(input)), reference.out.substr(0, 8));
    }
}

std::size_t page_size() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

// Guards: pieces of the derived key stayed on the Argon2 worker's cached stack (memory residue).
TEST(ThreadStack, WipeZeroesTheTouchedPagesAndLeavesTheMappingUsable) {
    auto stack = ThreadStack::map(16 * page_size());
    ASSERT_TRUE(stack) << stack.error().display();
    const std::span bytes(static_cast<std::uint8_t*>(stack->base()), stack->size());
    // The top, the bottom and a page in between, as a thread might leave them.
    std::memset(bytes.data(), 0xA5, 64);
    std::memset(bytes.data() + 7 * page_size() + 100, 0xA5, 300);
    std::memset(bytes.data() + bytes.size() - 256, 0xA5, 256);
    stack->wipe();
    EXPECT_TRUE(std::ranges::all_of(bytes, [](std::uint8_t b) { return b == 0; }));
    bytes[1] = 1;
    EXPECT_EQ(bytes[1], 1);
}

TEST(ThreadStackDeathTest, ThePageBelowTheStackIsAGuard) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto stack = ThreadStack::map(4 * page_size());
    ASSERT_TRUE(stack) << stack.error().display();
    auto* below = static_cast<volatile std::uint8_t*>(stack->base()) - 1;
    EXPECT_DEATH(*below = 1, "");  // SIGSEGV, or AddressSanitizer's report
}

}  // namespace
}  // namespace tarnel::core
