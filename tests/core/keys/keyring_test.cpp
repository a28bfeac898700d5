#include "core/keys/keyring.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/base/digest.hpp"
#include "core/keys/os_keyring.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

struct ChildResult {
    int exit_code = -1;  // -1 when it could not be started or did not exit normally
    std::string out;
};

// Runs a program (looked up in PATH) as a real child: feeds it `input` when
// there is one, and otherwise collects its stdout.
ChildResult run_child(const std::vector<std::string>& argv, std::string_view input = {}) {
    std::string command;
    for (const auto& arg : argv) {
        command += " '";
        for (const char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += '\'';
    }
    FILE* pipe = ::popen(command.c_str(), input.empty() ? "re" : "we");
    if (pipe == nullptr) return {};
    ChildResult result;
    char buffer[4096];
    if (!input.empty()) std::fwrite(input.data(), 1, input.size(), pipe);
    for (std::size_t got; input.empty() && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.out.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

using tarnel::testing::bytes_of;

std::vector<std::uint8_t> salt_of(std::size_t size, std::uint8_t seed = 1) {
    std::vector<std::uint8_t> salt(size);
    for (std::size_t i = 0; i < size; ++i) salt[i] = static_cast<std::uint8_t>(seed + 37 * i);
    return salt;
}

MasterKey pattern_key(std::uint8_t seed) {
    std::array<std::uint8_t, MasterKey::kSize> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed * 29 + i * 7);
    return MasterKey(bytes);
}

std::string hex(const MasterKey& key) { return to_lower_hex(key.expose_secret()); }

std::string text_of(const Result<MasterKey>& key) { return key ? hex(*key) : key.error().display(); }

std::string derived_hex(std::string_view passphrase, std::vector<std::uint8_t> salt) {
    auto keyring = Argon2Keyring::create(SecretValue::from_text(passphrase), std::move(salt));
    if (!keyring) return keyring.error().display();
    return text_of(keyring->get_master_key());
}

// ---- Argon2Keyring

TEST(Argon2Keyring, KeysEqualArgon2CffiForShortSixteenByteAndLongSalts) {
    struct Case {
        std::string passphrase;
        std::vector<std::uint8_t> salt;
    };
    const std::vector<Case> cases = {
        {"correct horse battery staple", salt_of(8)},
        {"correct horse battery staple", salt_of(16)},
        {"correct horse battery staple", salt_of(33)},
        {"", salt_of(16)},
        {"", salt_of(8)},
        {"p\xC3\xA4sswort \xF0\x9F\x94\x91", salt_of(16, 9)},
    };
    std::vector<std::string> argv = {TARNEL_TEST_PYTHON,
                                     std::string(TARNEL_SOURCE_DIR) + "/tests/interop/argon2_reference.py"};
    for (const auto& c : cases) argv.push_back(to_lower_hex(bytes_of(c.passphrase)) + ":" + to_lower_hex(c.salt));
    const ChildResult reference = run_child(argv);
    ASSERT_EQ(reference.exit_code, 0) << reference.out;

    std::istringstream lines(reference.out);
    for (const auto& c : cases) {
        std::string expected;
        ASSERT_TRUE(std::getline(lines, expected));
        ASSERT_EQ(expected.size(), 64U) << expected;
        EXPECT_EQ(derived_hex(c.passphrase, c.salt), expected)
            << "passphrase of " << c.passphrase.size() << " bytes, salt of " << c.salt.size();
    }
}

TEST(Argon2Keyring, EveryInputByteCountsAndStoringIsRefused) {
    auto keyring = Argon2Keyring::create(SecretValue::from_text("passphrase"), salt_of(16));
    ASSERT_TRUE(keyring);
    const std::string first = text_of(keyring->get_master_key());
    ASSERT_EQ(first.size(), 64U) << first;
    EXPECT_NE(derived_hex("passphrasf", salt_of(16)), first);
    auto salt = salt_of(16);
    salt.back() ^= 0x01;
    EXPECT_NE(derived_hex("passphrase", salt), first);

    const auto stored = keyring->set_master_key(pattern_key(1));
    ASSERT_FALSE(stored);
    EXPECT_EQ(stored.error().display(),
              "keyring operation failed: passphrase-derived key cannot be stored; it is recomputed from the passphrase");
}

TEST(Argon2Keyring, SevenByteSaltsAreRefusedWithTheirTexts) {
    const auto refused = Argon2Keyring::create(SecretValue::from_text("passphrase"), salt_of(7));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), ErrorKind::Keyring);
    EXPECT_EQ(refused.error().display(), "keyring operation failed: salt must be at least 8 bytes");
    EXPECT_TRUE(Argon2Keyring::create(SecretValue{}, salt_of(8)));
    // Below the keyring, the Argon2 library's own text is carried.
    const auto key = detail::derive_argon2id(bytes_of("x"), salt_of(7), detail::Argon2Backend::Fastest);
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error().display(), "keyring operation failed: Salt is too short");
}

TEST(Argon2Derivation, LibsodiumAndLibargon2GiveIdenticalBytes) {
    using detail::Argon2Backend;
    for (const std::string_view passphrase : {"", "vault passphrase"}) {
        const auto salt = salt_of(16, 3);
        const auto sodium = detail::derive_argon2id(bytes_of(passphrase), salt, Argon2Backend::Libsodium);
        const auto argon2 = detail::derive_argon2id(bytes_of(passphrase), salt, Argon2Backend::Libargon2);
        ASSERT_TRUE(sodium) << sodium.error().display();
        ASSERT_TRUE(argon2) << argon2.error().display();
        EXPECT_EQ(hex(*sodium), hex(*argon2));
    }
    // libsodium refuses what it cannot take instead of deriving something else.
    EXPECT_FALSE(detail::derive_argon2id(bytes_of("x"), salt_of(8), Argon2Backend::Libsodium));
}

TEST(Argon2Worker, RunsOnItsOwnThreadWithAnExplicitEightMebibyteStack) {
    // Shrink the default so a worker that forgot its own stack size shows.
    pthread_attr_t saved;
    pthread_attr_t small;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    ASSERT_EQ(pthread_getattr_default_np(&small), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&small, 256 * 1024), 0);
    ASSERT_EQ(pthread_setattr_default_np(&small), 0);

    const pthread_t caller = pthread_self();
    bool on_other_thread = false;
    std::size_t stack_size = 0;
    const auto key = detail::run_on_argon2_worker([&]() -> Result<MasterKey> {
        on_other_thread = !pthread_equal(caller, pthread_self());
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstacksize(&attr, &stack_size);
            pthread_attr_destroy(&attr);
        }
        return pattern_key(4);
    });
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&saved);
    pthread_attr_destroy(&small);

    ASSERT_TRUE(key);
    EXPECT_EQ(hex(*key), hex(pattern_key(4)));
    EXPECT_TRUE(on_other_thread);
    EXPECT_EQ(stack_size, detail::kArgon2WorkerStackSize);
}

TEST(Argon2Worker, AnExceptionInTheWorkerIsReportedAsAPanic) {
    const auto key = detail::run_on_argon2_worker([]() -> Result<MasterKey> { throw std::runtime_error("boom"); });
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error().display(), "keyring operation failed: Argon2 worker panicked");
}

// ---- MockKeyring

TEST(MockKeyring, AnswersNoKeyUntilSetThenKeepsItsOwnCopy) {
    MockKeyring keyring;
    const auto none = keyring.get_master_key();
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error(), CoreError(ErrorKind::Keyring, "no master key set"));
    {
        const MasterKey key = pattern_key(2);
        ASSERT_TRUE(keyring.set_master_key(key));
    }
    EXPECT_EQ(text_of(keyring.get_master_key()), hex(pattern_key(2)));
}

// ---- OsKeyring

#if defined(__linux__)

TEST(OsKeyring, WithoutASessionBusFailsWithThePlatformText) {
    // A child process, so no bus connection cached by an earlier test is reused.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
            ::unsetenv("DISPLAY");
            ::unsetenv("XDG_RUNTIME_DIR");
            const auto key = OsKeyring::create().get_master_key();
            std::fprintf(stderr, "%s\n", text_of(key).c_str());
            std::_Exit(!key && key.error().kind() == ErrorKind::Keyring ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "keyring operation failed: Cannot autolaunch D-Bus without X11 \\$DISPLAY");
}

// These talk to a real gnome-keyring; tests/keyring/with_secret_service.sh
// starts a private one and sets TARNEL_TEST_SECRET_SERVICE.
bool live_service() { return std::getenv("TARNEL_TEST_SECRET_SERVICE") != nullptr; }
#define REQUIRE_LIVE_SERVICE() \
    if (!live_service()) GTEST_SKIP() << "run under tests/keyring/with_secret_service.sh"

const std::vector<std::string> kItem = {"service", "tarnel", "account", "master-key"};

std::vector<std::string> secret_tool(std::vector<std::string> command) {
    command.insert(command.begin(), "secret-tool");
    command.insert(command.end(), kItem.begin(), kItem.end());
    return command;
}

// gnome-keyring locks without a prompt; unlocking again would need one.
int lock_default_collection() {
    return run_child({"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                      "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
                      "['/org/freedesktop/secrets/aliases/default']"})
        .exit_code;
}

TEST(OsKeyringLive, SetThenGetReturnsTheSameRawKeyAndSetReplacesIt) {
    REQUIRE_LIVE_SERVICE();
    OsKeyring keyring;
    // Zero bytes too: a key is binary, never text cut at its first zero.
    std::array<std::uint8_t, MasterKey::kSize> zeros{};
    for (std::size_t i = 0; i < zeros.size(); ++i) zeros[i] = i % 3 == 0 ? 0 : static_cast<std::uint8_t>(0xA0 + i);
    for (const MasterKey& key : {pattern_key(1), pattern_key(2), MasterKey(zeros)}) {
        const auto stored = keyring.set_master_key(key);
        ASSERT_TRUE(stored) << stored.error().display();
        EXPECT_EQ(text_of(keyring.get_master_key()), hex(key));
        // Another client reads the 32 bytes themselves.
        const ChildResult lookup = run_child(secret_tool({"lookup"}));
        EXPECT_EQ(to_lower_hex(bytes_of(lookup.out)), hex(key));
    }
    // Replaced, not added beside the first one.
    const ChildResult search = run_child(secret_tool({"search", "--all"}));
    std::istringstream lines(search.out);
    std::size_t items = 0;
    for (std::string line; std::getline(lines, line);) items += line.starts_with("[/") ? 1 : 0;
    EXPECT_EQ(items, 1U) << search.out;
}

TEST(OsKeyringLive, StoredValuesOfAnotherLengthAreRefused) {
    REQUIRE_LIVE_SERVICE();
    for (const std::string& value : {std::string(31, 'k'), std::string(33, 'k'), hex(pattern_key(3))}) {
        ASSERT_EQ(run_child(secret_tool({"store", "--label=tarnel test"}), value).exit_code, 0);
        const auto key = OsKeyring().get_master_key();
        ASSERT_FALSE(key) << value.size();
        EXPECT_EQ(key.error().display(), "keyring operation failed: stored key has wrong length") << value.size();
    }
    ASSERT_EQ(run_child(secret_tool({"store", "--label=tarnel test"}), std::string(32, 'k')).exit_code, 0);
    EXPECT_EQ(text_of(OsKeyring().get_master_key()), to_lower_hex(bytes_of(std::string(32, 'k'))));
}

TEST(OsKeyringLive, MissingItemIsAKeyringError) {
    REQUIRE_LIVE_SERVICE();
    run_child(secret_tool({"clear"}));
    const auto key = OsKeyring().get_master_key();
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error().display(),
              "keyring operation failed: no Secret Service item with service \"tarnel\" and account \"master-key\"");
}

// Each of these needs a service of its own: the collection stays locked.
TEST(OsKeyringLocked, ItemInALockedCollectionIsReportedAsLocked) {
    REQUIRE_LIVE_SERVICE();
    OsKeyring keyring;
    ASSERT_TRUE(keyring.set_master_key(pattern_key(5)));
    ASSERT_EQ(lock_default_collection(), 0);
    const auto key = keyring.get_master_key();
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error().display(), "keyring operation failed: the Secret Service collection holding the key is locked");
    const auto stored = keyring.set_master_key(pattern_key(6));
    ASSERT_FALSE(stored);
    EXPECT_EQ(stored.error().display(), "keyring operation failed: Cannot create an item in a locked collection");
}

TEST(OsKeyringLocked, LockedEmptyDefaultCollectionIsNotReportedAsMissing) {
    REQUIRE_LIVE_SERVICE();
    run_child(secret_tool({"clear"}));
    ASSERT_EQ(lock_default_collection(), 0);
    const auto key = OsKeyring().get_master_key();
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error().display(), "keyring operation failed: the default Secret Service collection is locked");
}

#endif

}  // namespace
}  // namespace tarnel::core
