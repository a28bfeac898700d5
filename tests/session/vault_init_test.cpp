// Creating a vault, the passphrase check, and set with metadata.

#include "session/passphrase_check.hpp"
#include "session/vault_init.hpp"
#include "session_fixture.hpp"

namespace tarnel::session {
namespace {

using namespace fixture;

core::SecretValue text(std::string_view value) { return core::SecretValue::from_text(value); }

SessionResult<Session> open_checked(const fs::path& root, std::string_view passphrase) {
    return Session::open_checked(VaultOptions{root, text(passphrase)}, Principal::human(all_operations(), false));
}

TEST(VaultInit, PassphraseVaultOpensOnlyWithItsPassphrase) {
    const testing::TempDir base;
    const fs::path root = base.path() / "vault";
    ASSERT_TRUE(init_with_passphrase(root, text("right")));
    EXPECT_EQ(read_file(root / "kdf.salt").size(), kInitSaltBytes);
    EXPECT_TRUE(fs::is_directory(root / "global"));
    EXPECT_TRUE(open_checked(root, "right"));

    auto wrong = open_checked(root, "wrong");
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().message(), "wrong passphrase");

    const std::string salt = read_file(root / "kdf.salt");
    auto again = init_with_passphrase(root, text("other"));
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(), "kdf.salt already exists in the vault root; refusing to replace it");
    EXPECT_EQ(read_file(root / "kdf.salt"), salt);
}

TEST(VaultInit, DamagedCheckIsNotCalledAWrongPassphrase) {
    const testing::TempDir base;
    const fs::path root = base.path() / "vault";
    ASSERT_TRUE(init_with_passphrase(root, text("right")));
    std::string check = read_file(root / kPassphraseCheckFile);
    check.pop_back();
    fs::remove(root / kPassphraseCheckFile);
    write_file(root / kPassphraseCheckFile, check);
    auto opened = open_checked(root, "right");
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().message(), "kdf.check in the vault root is damaged");
    // Without a check there is nothing to compare with.
    fs::remove(root / kPassphraseCheckFile);
    EXPECT_TRUE(open_checked(root, "anything"));
}

TEST(VaultInit, KeyringKeyIsStoredOnceAndNeverReplaced) {
    const testing::TempDir base;
    core::MockKeyring keyring;
    ASSERT_TRUE(init_with_keyring(base.path() / "vault", keyring));
    auto first = keyring.get_master_key();
    ASSERT_TRUE(first);
    auto again = init_with_keyring(base.path() / "vault", keyring);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().message(), "the keyring already holds a master key; refusing to replace it");
    auto kept = keyring.get_master_key();
    ASSERT_TRUE(kept);
    EXPECT_TRUE(std::ranges::equal(first->expose_secret(), kept->expose_secret()));
}

TEST(SetWithMetadata, NewRecordIsBornWithItsMetadataInOneWrite) {
    const TempVault vault;
    const Session session = vault.session();
    auto view = session.set_with_metadata("secret:dev/app/token", text("v"),
                                          LiteralMetadata{"low", "what it is", true}, std::nullopt);
    ASSERT_TRUE(view) << view.error().message();
    const auto record = vault.get("secret:dev/app/token");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->meta.sensitivity, core::Sensitivity::Low);
    EXPECT_TRUE(record->meta.revealable);
    EXPECT_EQ(record->meta.description, "what it is");
    EXPECT_EQ(vault.audit_words(), std::vector<std::string>{"create/created"});

    // Production is born high whatever was asked.
    ASSERT_TRUE(session.set_with_metadata("secret:prod/app/token", text("v"), LiteralMetadata{"low", {}, {}},
                                          std::nullopt));
    EXPECT_EQ(vault.get("secret:prod/app/token")->meta.sensitivity, core::Sensitivity::High);
}

TEST(SetWithMetadata, ExistingRecordGetsTheValueThenTheEdit) {
    const TempVault vault;
    vault.put(literal("dev/app/token", "old", core::Sensitivity::Medium, false));
    ASSERT_TRUE(vault.session().set_with_metadata("secret:dev/app/token", text("new"),
                                                  LiteralMetadata{"high", {}, {}}, std::nullopt));
    const auto record = vault.get("secret:dev/app/token");
    EXPECT_EQ(literal_text(*record), "new");
    EXPECT_EQ(record->meta.sensitivity, core::Sensitivity::High);
    EXPECT_EQ(vault.audit_words(), (std::vector<std::string>{"edit/value-updated", "edit/metadata-updated"}));

    auto bad = vault.session().set_with_metadata("secret:dev/app/token", text("x"),
                                                 LiteralMetadata{"loud", {}, {}}, std::nullopt);
    ASSERT_FALSE(bad);
    EXPECT_EQ(literal_text(*vault.get("secret:dev/app/token")), "new");
}

}  // namespace
}  // namespace tarnel::session
