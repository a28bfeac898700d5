#include "core/keys/keyring.hpp"

#include <stdexcept>

#include "core/base/digest.hpp"
#include "core/core_support.hpp"
#include "core/keys/os_keyring.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

std::vector<std::uint8_t> salt_of(std::size_t size, std::uint8_t seed = 1) {
    std::vector<std::uint8_t> salt(size);
    for (std::size_t i = 0; i < size; ++i) salt[i] = static_cast<std::uint8_t>(seed + 37 * i);
    return salt;
}

std::string hex(const MasterKey& key) { return to_lower_hex(key.expose_secret()); }

std::string text_of(const Result<MasterKey>& key) { return key ? hex(*key) : key.error().display(); }

// 16-byte salts take libsodium's Argon2id, other lengths libargon2's.
TEST(Argon2Keyring, KeysEqualArgon2CffiForEachSaltLengthAndFailuresHaveTheirTexts) {
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> cases = {
        {"correct horse battery staple", salt_of(8)},
        {"p\xC3\xA4sswort \xF0\x9F\x94\x91", salt_of(16)},
        {"", salt_of(16)},
        {"", salt_of(33)},
    };
    std::vector<std::string> args;
    for (const auto& [phrase, salt] : cases) args.push_back(to_lower_hex(bytes_of(phrase)) + ":" + to_lower_hex(salt));
    const ChildResult reference = run_interop("argon2_reference.py", args);
    ASSERT_EQ(reference.exit_code, 0) << reference.out;
    std::istringstream lines(reference.out);
    for (const auto& [passphrase, salt] : cases) {
        std::string expected;
        ASSERT_TRUE(std::getline(lines, expected));
        const auto keyring = Argon2Keyring::create(SecretValue::from_text(passphrase), salt);
        ASSERT_TRUE(keyring) << keyring.error().display();
        EXPECT_EQ(text_of(keyring->get_master_key()), expected) << passphrase.size() << " bytes, salt " << salt.size();
    }
    // A short salt and a failed worker have their texts.
    EXPECT_EQ(Argon2Keyring::create(SecretValue::from_text("passphrase"), salt_of(7)).error().display(),
              "keyring operation failed: salt must be at least 8 bytes");
    const auto thrown = detail::run_on_argon2_worker([]() -> Result<MasterKey> { throw std::runtime_error("boom"); });
    EXPECT_EQ(text_of(thrown), "keyring operation failed: Argon2 worker panicked");
}

#if defined(__linux__)

// These talk to a real gnome-keyring: tests/CMakeLists.txt runs them by name
// under tests/keyring/with_secret_service.sh, which sets TARNEL_TEST_SECRET_SERVICE.
#define REQUIRE_LIVE_SERVICE() \
    if (std::getenv("TARNEL_TEST_SECRET_SERVICE") == nullptr) GTEST_SKIP() << "run under with_secret_service.sh"

std::vector<std::string> secret_tool(std::vector<std::string> command) {
    command.insert(command.begin(), "secret-tool");
    command.insert(command.end(), {"service", "tarnel", "account", "master-key"});
    return command;
}

// gnome-keyring locks without a prompt; unlocking again would need one.
int lock_default_collection() {
    return run_child({"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                      "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
                      "['/org/freedesktop/secrets/aliases/default']"})
        .exit_code;
}

// Guards: a key with a zero byte was read as text cut there, overrunning libsecret's secure memory.
TEST(OsKeyringLive, SetThenGetReturnsTheSameRawKeyAndSetReplacesIt) {
    REQUIRE_LIVE_SERVICE();
    OsKeyring keyring;
    std::array<std::uint8_t, MasterKey::kSize> zeros{};
    for (std::size_t i = 0; i < zeros.size(); ++i) zeros[i] = i % 3 == 0 ? 0 : static_cast<std::uint8_t>(0xA0 + i);
    for (const MasterKey& key : {key_of(1), key_of(2), MasterKey(zeros)}) {
        const auto stored = keyring.set_master_key(key);
        ASSERT_TRUE(stored) << stored.error().display();
        EXPECT_EQ(text_of(keyring.get_master_key()), hex(key));
        // Another client reads the 32 bytes themselves.
        EXPECT_EQ(to_lower_hex(bytes_of(run_child(secret_tool({"lookup"})).out)), hex(key));
    }
    // Replaced, not added beside the first one.
    std::istringstream lines(run_child(secret_tool({"search", "--all"})).out);
    std::size_t items = 0;
    for (std::string line; std::getline(lines, line);) items += line.starts_with("[/") ? 1 : 0;
    EXPECT_EQ(items, 1U);
}

TEST(OsKeyringLive, WrongLengthsAndAMissingItemAreKeyringErrors) {
    REQUIRE_LIVE_SERVICE();
    for (const std::string& value : {std::string(31, 'k'), std::string(33, 'k'), hex(key_of(3))}) {
        ASSERT_EQ(run_child(secret_tool({"store", "--label=tarnel test"}), value).exit_code, 0);
        EXPECT_EQ(text_of(OsKeyring().get_master_key()), "keyring operation failed: stored key has wrong length");
    }
    run_child(secret_tool({"clear"}));
    EXPECT_EQ(text_of(OsKeyring().get_master_key()),
              "keyring operation failed: no Secret Service item with service \"tarnel\" and account \"master-key\"");
}

// Each of these needs a service of its own: the collection stays locked.
TEST(OsKeyringLocked, ItemInALockedCollectionIsReportedAsLocked) {
    REQUIRE_LIVE_SERVICE();
    OsKeyring keyring;
    ASSERT_TRUE(keyring.set_master_key(key_of(5)));
    ASSERT_EQ(lock_default_collection(), 0);
    EXPECT_EQ(text_of(keyring.get_master_key()),
              "keyring operation failed: the Secret Service collection holding the key is locked");
}

TEST(OsKeyringLocked, LockedEmptyDefaultCollectionIsNotReportedAsMissing) {
    REQUIRE_LIVE_SERVICE();
    run_child(secret_tool({"clear"}));
    ASSERT_EQ(lock_default_collection(), 0);
    EXPECT_EQ(text_of(OsKeyring().get_master_key()),
              "keyring operation failed: the default Secret Service collection is locked");
}

#endif

}  // namespace
}  // namespace tarnel::core
