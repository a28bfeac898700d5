#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/record_lock.hpp"
#include "session_fixture.hpp"
#include "writes_support.hpp"

namespace tarnel::ffi {
namespace {

using namespace fixture;
using namespace writes;
using core::Operation;
using core::Sensitivity;
using Names = std::set<std::string, std::less<>>;

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

core::SecretValue text(std::string_view value) { return core::SecretValue::from_text(value); }

core::MasterKey other_key() {
    std::array<std::uint8_t, core::MasterKey::kSize> bytes{};
    bytes.fill(0x5a);
    return core::MasterKey(bytes);
}

// A record the session's key cannot open.
void put_foreign(const TempVault& vault, const core::SecretRecord& record) {
    auto sealed = core::seal(record, other_key());
    ASSERT_TRUE(sealed);
    ASSERT_TRUE(core::write_record(vault.dir(), coordinate("secret:" + record.canonical_path()), *sealed));
}

class WritesTest : public ::testing::Test {
protected:
    TempVault vault_;
    Session session_ = vault_.session();
};

// --- set ------------------------------------------------------------------

TEST_F(WritesTest, SetCreatesAMediumLiteralOutsideProd) {
    auto view = session_.set("secret:dev/app/token", text("s3cret"), std::nullopt);
    ASSERT_TRUE(view) << view.error().message();
    EXPECT_EQ(*view, (RecordView{
                         .coordinate = "dev/app/token",
                         .environment = "dev",
                         .component = "app",
                         .key = "token",
                         .sensitivity = "medium",
                         .mode = "literal",
                         .fingerprint = fingerprint_text("s3cret"),
                         .origin = "global",
                         .reference = std::nullopt,
                         .revealable = false,
                     }));

    auto stored = vault_.get("secret:dev/app/token");
    ASSERT_TRUE(stored);
    EXPECT_EQ(literal_text(*stored), "s3cret");
    EXPECT_EQ(stored->meta.sensitivity, Sensitivity::Medium);
    EXPECT_FALSE(stored->meta.revealable);
    EXPECT_EQ(stored->meta.description, std::nullopt);
    EXPECT_EQ(stored->meta.created, stored->meta.updated);
    EXPECT_EQ(stored->meta.created.size(), 20U);
    EXPECT_EQ(stored->meta.created.back(), 'Z');

    const auto events = audit_events(vault_);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].action, "create");
    EXPECT_EQ(events[0].result, "created");
    EXPECT_EQ(events[0].coordinate, "dev/app/token");
    EXPECT_EQ(events[0].environment, "dev");
    EXPECT_EQ(events[0].origin, "agent");
}

TEST_F(WritesTest, SetInProdIsBornHigh) {
    auto view = session_.set("secret:prod/app/token", text("v"), std::nullopt);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->sensitivity, "high");
    EXPECT_FALSE(view->revealable);
    EXPECT_EQ(vault_.get("secret:prod/app/token")->meta.sensitivity, Sensitivity::High);
    // Only the exact name counts.
    EXPECT_EQ(session_.set("secret:production/app/token", text("v"), std::nullopt)->sensitivity, "medium");
    EXPECT_EQ(session_.set("secret:Prod/app/token", text("v"), std::nullopt)->sensitivity, "medium");
}

TEST_F(WritesTest, SetOverALiteralKeepsItsMetadataAndAuditsAValueUpdate) {
    auto old = literal("dev/app/token", "old", Sensitivity::InjectOnly, true);
    old.meta.description = "kept";
    vault_.put(old);

    auto view = session_.set("secret:dev/app/token", text("new"), std::nullopt);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->sensitivity, "injectonly");
    EXPECT_TRUE(view->revealable);
    EXPECT_EQ(view->fingerprint, fingerprint_text("new"));

    auto stored = vault_.get("secret:dev/app/token");
    EXPECT_EQ(literal_text(*stored), "new");
    EXPECT_EQ(stored->meta.sensitivity, Sensitivity::InjectOnly);
    EXPECT_TRUE(stored->meta.revealable);
    EXPECT_EQ(stored->meta.description, "kept");
    EXPECT_EQ(stored->meta.created, kStamp);
    EXPECT_NE(stored->meta.updated, kStamp);
    EXPECT_EQ(audit_words(vault_), std::vector<std::string>{"edit/value-updated"});
}

TEST_F(WritesTest, SetOverAReferenceMakesItALiteralWithTheOldMetadata) {
    auto old = reference("dev/app/token", "aws-sm://eu-west-1/token", Sensitivity::High, false);
    old.meta.description = "was a reference";
    vault_.put(old);

    auto view = session_.set("secret:dev/app/token", text("now literal"), std::nullopt);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->mode, "literal");
    EXPECT_EQ(view->reference, std::nullopt);
    EXPECT_EQ(view->sensitivity, "high");
    auto stored = vault_.get("secret:dev/app/token");
    EXPECT_TRUE(std::holds_alternative<core::LiteralRecord>(stored->kind));
    EXPECT_EQ(stored->meta.description, "was a reference");
    EXPECT_EQ(stored->meta.created, kStamp);
    EXPECT_EQ(audit_words(vault_), std::vector<std::string>{"edit/value-updated"});
}

TEST_F(WritesTest, SetOverAKeypairOrTotpIsRefusedAndChangesNothing) {
    vault_.put(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA"));
    vault_.put(totp("dev/mail/otp", "seed"));
    const std::string pair_bytes = *read_file(vault_.record_file("secret:dev/ssh/deploy"));
    const std::string totp_bytes = *read_file(vault_.record_file("secret:dev/mail/otp"));

    // The coordinate is quoted exactly as the caller wrote it.
    auto pair = session_.set("secret://global/dev/ssh/deploy#private", text("x"), std::nullopt);
    ASSERT_FALSE(pair);
    EXPECT_EQ(other_text(pair.error()),
              "`secret://global/dev/ssh/deploy#private` is a keypair; it cannot be overwritten with `set`");
    auto otp = session_.set("secret:dev/mail/otp", text("x"), std::nullopt);
    ASSERT_FALSE(otp);
    EXPECT_EQ(other_text(otp.error()), "`secret:dev/mail/otp` is a TOTP enrollment; it cannot be overwritten with `set`");

    EXPECT_EQ(*read_file(vault_.record_file("secret:dev/ssh/deploy")), pair_bytes);
    EXPECT_EQ(*read_file(vault_.record_file("secret:dev/mail/otp")), totp_bytes);
    EXPECT_EQ(vault_.audit_bytes(), "");
}

TEST_F(WritesTest, TheGateComesFirstAndIsNeverAudited) {
    auto malformed = session_.set("dev/app/token", text("v"), std::nullopt);
    ASSERT_FALSE(malformed);
    EXPECT_EQ(other_text(malformed.error()), "invalid coordinate URI: must start with `secret:`");

    auto placeholder = session_.set("secret:${ENV}/app/token", text("v"), std::nullopt);
    ASSERT_FALSE(placeholder);
    ASSERT_TRUE(other_text(placeholder.error()));
    EXPECT_TRUE(other_text(placeholder.error())->ends_with("(a coordinate must be concrete, not ${ENV})"));

    Session no_write = vault_.session(scope_of({Operation::Metadata, Operation::Reveal, Operation::Inject}));
    vault_.put(literal("dev/app/token", "v"));
    EXPECT_TRUE(is_not_found(no_write.set("secret:dev/app/token", text("v"), std::nullopt).error()));
    EXPECT_TRUE(is_not_found(no_write.generate("secret:dev/app/new", 8, std::nullopt, std::nullopt, std::nullopt).error()));
    EXPECT_TRUE(is_not_found(no_write.remove("secret:dev/app/token", std::nullopt).error()));

    Session dev_only = vault_.session(scope_of({Operation::Write}, std::nullopt, Names{"dev"}));
    EXPECT_TRUE(is_not_found(dev_only.set("secret:prod/app/token", text("v"), std::nullopt).error()));
    EXPECT_TRUE(dev_only.set("secret:dev/app/other", text("v"), std::nullopt));

    // A list of projects never reaches the global vault.
    Session alpha_only = vault_.session(scope_of({Operation::Write}, Names{"alpha"}));
    EXPECT_TRUE(is_not_found(alpha_only.set("secret:dev/app/x", text("v"), std::nullopt).error()));
    EXPECT_TRUE(is_not_found(alpha_only.set("secret:dev/app/x", text("v"), "beta").error()));
    EXPECT_TRUE(alpha_only.set("secret:dev/app/x", text("v"), "alpha"));

    EXPECT_EQ(audit_words(vault_), (std::vector<std::string>{"create/created", "create/created"}));
    EXPECT_FALSE(vault_.get("secret:prod/app/token"));
    EXPECT_FALSE(vault_.get("secret:dev/app/x"));
}

TEST_F(WritesTest, OnlyTheProjectArgumentChoosesTheVault) {
    auto view = session_.set("secret://global/dev/app/token", text("in alpha"), "alpha");
    ASSERT_TRUE(view);
    EXPECT_EQ(view->origin, "project:alpha");
    EXPECT_EQ(literal_text(*vault_.get("secret:dev/app/token", "alpha")), "in alpha");
    EXPECT_FALSE(vault_.get("secret:dev/app/token"));

    // With a project, the global record is neither read nor touched.
    vault_.put(keypair("dev/ssh/deploy", "pub"));
    EXPECT_TRUE(session_.set("secret:dev/ssh/deploy", text("literal in beta"), "beta"));
    EXPECT_TRUE(std::holds_alternative<core::KeypairRecord>(vault_.get("secret:dev/ssh/deploy")->kind));
}

TEST_F(WritesTest, AnUnusableProjectNameIsACoreError) {
    auto bad = session_.set("secret:dev/app/token", text("v"), "..");
    ASSERT_FALSE(bad);
    EXPECT_TRUE(core_error(bad.error()));
    EXPECT_EQ(vault_.audit_bytes(), "");
}

TEST_F(WritesTest, ARecordSealedWithAnotherKeyStopsEveryWrite) {
    put_foreign(vault_, literal("dev/app/token", "theirs"));
    const std::string before = *read_file(vault_.record_file("secret:dev/app/token"));

    auto set = session_.set("secret:dev/app/token", text("mine"), std::nullopt);
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error().message(), "crypto operation failed");
    auto generated = session_.generate("secret:dev/app/token", 8, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_FALSE(generated);
    EXPECT_EQ(generated.error().message(), "crypto operation failed");
    auto removed = session_.remove("secret:dev/app/token", std::nullopt);
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().message(), "crypto operation failed");

    EXPECT_EQ(*read_file(vault_.record_file("secret:dev/app/token")), before);
    EXPECT_EQ(vault_.audit_bytes(), "");
}

TEST_F(WritesTest, ErrorsNeverCarryTheValue) {
    vault_.put(keypair("dev/ssh/deploy", "pub"));
    auto refused = session_.set("secret:dev/ssh/deploy", text("do-not-echo-me"), std::nullopt);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message().find("do-not-echo-me"), std::string::npos);
    EXPECT_EQ(vault_.audit_bytes().find("do-not-echo-me"), std::string::npos);
}

// --- generate -------------------------------------------------------------

TEST_F(WritesTest, GenerateStoresARandomLiteralAndReturnsOnlyItsFingerprint) {
    auto view = session_.generate("secret:dev/app/key", 1, std::nullopt, "a key", std::nullopt);
    ASSERT_TRUE(view) << view.error().message();
    auto stored = vault_.get("secret:dev/app/key");
    ASSERT_TRUE(stored);
    const std::string value = literal_text(*stored);
    ASSERT_EQ(value.size(), 1U);
    EXPECT_NE(kAlphabet.find(value[0]), std::string_view::npos);
    EXPECT_EQ(view->fingerprint, fingerprint_text(value));
    EXPECT_EQ(view->sensitivity, "medium");
    EXPECT_EQ(view->mode, "literal");
    EXPECT_FALSE(view->revealable);
    EXPECT_EQ(stored->meta.description, "a key");
    EXPECT_EQ(stored->meta.created, stored->meta.updated);

    const auto events = audit_events(vault_);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].action + "/" + events[0].result, "create/generated");
    EXPECT_EQ(events[0].coordinate, "dev/app/key");
    EXPECT_EQ(events[0].environment, "dev");
}

TEST_F(WritesTest, GeneratedValuesUseExactlyTheAlphabetUniformly) {
    constexpr std::size_t kLength = 62 * 200;
    ASSERT_TRUE(session_.generate("secret:dev/app/long", kLength, std::nullopt, std::nullopt, std::nullopt));
    const std::string value = literal_text(*vault_.get("secret:dev/app/long"));
    ASSERT_EQ(value.size(), kLength);
    std::array<std::size_t, 256> counts{};
    for (const char c : value) ++counts[static_cast<unsigned char>(c)];
    std::size_t inside = 0;
    for (const char c : kAlphabet) {
        const std::size_t seen = counts[static_cast<unsigned char>(c)];
        inside += seen;
        // 200 expected per character; a folded or biased draw would push some
        // characters far out of this band.
        EXPECT_GT(seen, 120U) << c;
        EXPECT_LT(seen, 280U) << c;
    }
    EXPECT_EQ(inside, kLength);

    ASSERT_TRUE(session_.generate("secret:dev/app/other", 32, std::nullopt, std::nullopt, std::nullopt));
    const std::string other = literal_text(*vault_.get("secret:dev/app/other"));
    EXPECT_EQ(other.size(), 32U);
    EXPECT_NE(other, value.substr(0, 32));
}

TEST_F(WritesTest, GenerateTakesTheSensitivityWordButProdIsAlwaysHigh) {
    EXPECT_EQ(session_.generate("secret:dev/a/b", 4, "Inject_Only", std::nullopt, std::nullopt)->sensitivity, "injectonly");
    EXPECT_EQ(session_.generate("secret:dev/a/c", 4, "LOW", std::nullopt, std::nullopt)->sensitivity, "low");
    EXPECT_EQ(session_.generate("secret:prod/a/b", 4, "inject-only", std::nullopt, std::nullopt)->sensitivity, "high");
    EXPECT_EQ(session_.generate("secret:prod/a/c", 4, "low", std::nullopt, std::nullopt)->sensitivity, "high");
    EXPECT_EQ(vault_.get("secret:prod/a/b")->meta.sensitivity, Sensitivity::High);
}

TEST_F(WritesTest, GenerateRefusals) {
    auto zero = session_.generate("secret:dev/app/key", 0, "nonsense", std::nullopt, std::nullopt);
    ASSERT_FALSE(zero);
    EXPECT_EQ(other_text(zero.error()), "length must be at least 1");

    auto unknown = session_.generate("secret:dev/app/key", 8, "secret", std::nullopt, std::nullopt);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(other_text(unknown.error()), "unknown sensitivity `secret` (expected low|medium|high|inject-only)");
    EXPECT_FALSE(vault_.get("secret:dev/app/key"));

    // The existence check comes before the sensitivity word, for every kind.
    vault_.put(keypair("dev/ssh/deploy", "pub"));
    const std::string before = *read_file(vault_.record_file("secret:dev/ssh/deploy"));
    auto exists = session_.generate("secret://global/dev/ssh/deploy", 8, "secret", std::nullopt, std::nullopt);
    ASSERT_FALSE(exists);
    EXPECT_EQ(other_text(exists.error()), "`secret://global/dev/ssh/deploy` already exists");
    EXPECT_EQ(*read_file(vault_.record_file("secret:dev/ssh/deploy")), before);
    EXPECT_EQ(vault_.audit_bytes(), "");
}

TEST_F(WritesTest, RacingGeneratesOfOneCoordinateCreateItOnce) {
    constexpr int kRacers = 6;
    std::vector<Session> sessions;
    for (int i = 0; i < kRacers; ++i) sessions.push_back(vault_.session());
    std::atomic<int> ready = 0;
    std::atomic<int> created = 0;
    std::atomic<int> refused = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < kRacers; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready < kRacers) std::this_thread::yield();
            auto view = sessions[i].generate("secret:dev/app/once", 16, std::nullopt, std::nullopt, std::nullopt);
            if (view) {
                ++created;
            } else if (other_text(view.error()) == "`secret:dev/app/once` already exists") {
                ++refused;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(created, 1);
    EXPECT_EQ(refused, kRacers - 1);
    EXPECT_EQ(audit_words(vault_), std::vector<std::string>{"create/generated"});
    // No backup: nothing was ever overwritten.
    EXPECT_FALSE(fs::exists(vault_.record_file("secret:dev/app/once").string() + ".bak"));
}

// --- delete ---------------------------------------------------------------

TEST_F(WritesTest, DeleteRemovesAnyKindOnceAndAuditsIt) {
    vault_.put(keypair("dev/ssh/deploy", "pub"));
    vault_.put(totp("dev/mail/otp", "seed"));
    vault_.put(reference("dev/app/ref", "azure-kv://v/s"));
    ASSERT_TRUE(session_.remove("secret:dev/ssh/deploy", std::nullopt));
    ASSERT_TRUE(session_.remove("secret:dev/mail/otp", std::nullopt));
    ASSERT_TRUE(session_.remove("secret:dev/app/ref", std::nullopt));
    EXPECT_FALSE(vault_.get("secret:dev/ssh/deploy"));

    auto again = session_.remove("secret:dev/ssh/deploy", std::nullopt);
    ASSERT_FALSE(again);
    EXPECT_TRUE(is_not_found(again.error()));
    EXPECT_EQ(audit_words(vault_), (std::vector<std::string>{"delete/deleted", "delete/deleted", "delete/deleted"}));
    EXPECT_EQ(audit_events(vault_)[0].coordinate, "dev/ssh/deploy");
}

TEST_F(WritesTest, DeleteOfAnAbsentRecordOrVaultIsNotFoundAndCreatesNothing) {
    EXPECT_TRUE(is_not_found(session_.remove("secret:dev/app/none", std::nullopt).error()));
    EXPECT_TRUE(is_not_found(session_.remove("secret:dev/app/none", "ghost").error()));
    EXPECT_FALSE(fs::exists(vault_.dir("ghost")));
    EXPECT_TRUE(names_in(vault_.dir()).empty());
    // A project record is not reached without the project, nor the global one with it.
    vault_.put(literal("dev/app/token", "v"), "alpha");
    EXPECT_TRUE(is_not_found(session_.remove("secret:dev/app/token", std::nullopt).error()));
    vault_.put(literal("dev/app/global", "v"));
    EXPECT_TRUE(is_not_found(session_.remove("secret:dev/app/global", "alpha").error()));
    EXPECT_EQ(vault_.audit_bytes(), "");
}

TEST_F(WritesTest, LockFilesComeAndGoWithTheRecord) {
    ASSERT_TRUE(session_.set("secret:dev/app/token", text("v1"), std::nullopt));
    const std::string id = *coordinate("secret:dev/app/token").storage_id();
    EXPECT_EQ(names_in(vault_.dir()), (std::set<std::string>{id + ".sec", id + ".sec.lock"}));
    EXPECT_EQ(mode_of(vault_.dir() / (id + ".sec.lock")), 0600U);
    // The listing of the vault is not confused by the lock file.
    auto listed = session_.list_visible();
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->size(), 1U);

    ASSERT_TRUE(session_.remove("secret:dev/app/token", std::nullopt));
    EXPECT_EQ(names_in(vault_.dir()), std::set<std::string>{});
}

TEST_F(WritesTest, WriteWithoutMetadataStillReturnsTheView) {
    Session write_only = vault_.session(scope_of({Operation::Write}));
    auto made = write_only.set("secret:dev/app/token", text("v"), std::nullopt);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->coordinate, "dev/app/token");
    auto generated = write_only.generate("secret:dev/app/key", 8, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(generated);
    EXPECT_EQ(generated->coordinate, "dev/app/key");
    EXPECT_TRUE(write_only.remove("secret:dev/app/key", std::nullopt));
}

TEST_F(WritesTest, AWriterWaitsForTheRecordLock) {
    vault_.put(literal("dev/app/token", "v0"));
    std::optional<core::RecordLock> held;
    {
        auto lock = core::RecordLock::acquire(vault_.dir(), coordinate("secret:dev/app/token"));
        ASSERT_TRUE(lock);
        held.emplace(std::move(*lock));
    }
    std::atomic<bool> done = false;
    std::thread writer([&] {
        EXPECT_TRUE(session_.set("secret:dev/app/token", text("v1"), std::nullopt));
        done = true;
    });
    ASSERT_TRUE(someone_waits_on(held->path()));
    EXPECT_FALSE(done);
    EXPECT_EQ(literal_text(*vault_.get("secret:dev/app/token")), "v0");
    held.reset();
    writer.join();
    EXPECT_EQ(literal_text(*vault_.get("secret:dev/app/token")), "v1");
}

}  // namespace
}  // namespace tarnel::ffi
