// The owner's answers: confirmations answered while their requester still
// waits, the proof asked before an approval, and intakes fulfilled.

#include <functional>
#include <tuple>

#include "core/oversight/intake_inbox.hpp"
#include "core/keys/proof.hpp"
#include "session/confirmation_answers.hpp"
#include "session/intake_answers.hpp"
#include "session/owner_proof.hpp"
#include "session/vault_init.hpp"
#include "session_fixture.hpp"

namespace tarnel::session {
namespace {

using namespace fixture;

// A request as a session of this vault writes it, sealed with `key`; `edit`
// changes its text after sealing, as an agent with a shell could.
std::string plant_pending(const fs::path& root, const std::string& id, std::uint64_t created,
                          const core::MasterKey& key = test_key(),
                          const std::function<void(std::string&)>& edit = {}) {
    fs::create_directories(root / "pending");
    const std::string open_object =
        R"({"id":")" + id + R"(","created_unix":)" + std::to_string(created) +
        R"(,"request":{"resolved_command":null,"coordinate":"dev/app/db","sensitivity":"high",)"
        R"("environment":"dev","origin":"agent","requesting_process":null,)"
        R"("requester_description":null,"action":null,"allow_password":true,"run":null},"expires_unix":)" +
        std::to_string(created + 120) + R"(,"nonce":"00112233445566778899aabbccddeeff")";
    std::string text = core::seal_object(open_object, *core::ProofKey::derive(key, core::ProofPurpose::Request));
    if (edit) edit(text);
    write_file(root / "pending" / (id + ".json"), text);
    return text;
}

SessionResult<void> approve(const TempVault& vault, const std::string& id, const testing::FixedClock& clock,
                            const core::MasterKey& key = test_key()) {
    auto shown = confirmation_to_answer(vault.root(), id, clock);
    if (!shown) return fail(std::move(shown.error()));
    return approve_confirmation(vault.root(), *shown, key, clock);
}

TEST(ConfirmationAnswers, OnlyAWaitingRequestCanBeAnsweredAndOnlyOnce) {
    const TempVault vault;
    const std::string text = plant_pending(vault.root(), "1000-7-0", 1000);
    const fs::path decision = vault.root() / "pending" / "1000-7-0.decision";

    auto late = approve(vault, "1000-7-0", testing::FixedClock(1000 + 120));
    ASSERT_FALSE(late);
    EXPECT_EQ(other_text(late.error()), "request 1000-7-0 has expired: its requester has stopped waiting");
    EXPECT_FALSE(fs::exists(decision));

    const testing::FixedClock in_time(1000 + 119);
    ASSERT_TRUE(approve(vault, "1000-7-0", in_time));
    EXPECT_EQ(read_file(decision), testing::owner_approval(text, test_key()));
    auto again = deny_confirmation(vault.root(), "1000-7-0", in_time);
    ASSERT_FALSE(again);
    EXPECT_EQ(other_text(again.error()), "request 1000-7-0 has already been answered");
    EXPECT_EQ(read_file(decision), testing::owner_approval(text, test_key()));

    auto unknown = deny_confirmation(vault.root(), "1000-7-1", in_time);
    ASSERT_FALSE(unknown);
    EXPECT_TRUE(is_not_found(unknown.error()));
    auto path_like = deny_confirmation(vault.root(), "../1000-7-0", in_time);
    ASSERT_FALSE(path_like);
    EXPECT_EQ(other_text(path_like.error()), "`../1000-7-0` is not a request identifier");
}

// A request rewritten after the module sealed it, one sealed by a key that is
// not the vault's (an agent's own vault, its salt and check copied in) and
// one whose expiry was stretched are all refused, answered with a denial and
// audited as the owner's refusal.
TEST(ConfirmationAnswers, ARequestWithoutTheVaultsProofIsDeniedNotApproved) {
    const auto lowered = [](std::string& text) { text.replace(text.find("\"high\""), 6, "\"low\""); };
    const auto stretched = [](std::string& text) { text.replace(text.find(":1120,"), 6, ":9999,"); };
    const core::MasterKey agents_key = testing::key_of(9);
    const std::tuple<std::string, const core::MasterKey*, std::function<void(std::string&)>> cases[] = {
        {"rewritten", &test_key(), lowered},
        {"another key", &agents_key, nullptr},
        {"stretched", &test_key(), stretched},
    };
    for (const auto& [name, sealed_with, edit] : cases) {
        SCOPED_TRACE(name);
        const TempVault vault;
        plant_pending(vault.root(), "1000-7-0", 1000, *sealed_with, edit);
        auto refused = approve(vault, "1000-7-0", testing::FixedClock(1010));
        ASSERT_FALSE(refused);
        EXPECT_EQ(denied_text(refused.error()),
                  "request 1000-7-0 does not carry this vault's proof: either it was altered after it was made, "
                  "or the passphrase is not this vault's (the two cannot be told apart); nothing approved");
        EXPECT_EQ(read_file(vault.root() / "pending" / "1000-7-0.decision"), "denied\n");
        EXPECT_EQ(vault.audit_words(), std::vector<std::string>{"deny/approval-refused:unverified"});
    }
}

TEST(OwnerProof, PassphraseVaultsAskTheCheckedPassphrase) {
    const testing::TempDir base;
    const fs::path root = base.path() / "vault";
    ASSERT_TRUE(init_with_passphrase(root, core::SecretValue::from_text("right")));
    EXPECT_EQ(owner_proof_for(root), OwnerProof::Passphrase);
    EXPECT_TRUE(owner_key_from_passphrase(root, core::SecretValue::from_text("right")));
    auto wrong = owner_key_from_passphrase(root, core::SecretValue::from_text("wrong"));
    ASSERT_FALSE(wrong);
    EXPECT_EQ(other_text(wrong.error()), "wrong passphrase");

    // Without the check any passphrase would pass, so none does.
    fs::rename(root / "kdf.check", base.path() / "kdf.check");
    EXPECT_FALSE(owner_key_from_passphrase(root, core::SecretValue::from_text("right")));
    // Removing the salt must not turn the vault into one that asks no passphrase.
    fs::rename(base.path() / "kdf.check", root / "kdf.check");
    fs::remove(root / "kdf.salt");
    EXPECT_FALSE(owner_proof_for(root));
    fs::remove(root / "kdf.check");
    EXPECT_EQ(owner_proof_for(root), OwnerProof::ShownCode);
}

core::PendingIntake shown_intake(const TempVault& vault, std::string_view id) {
    auto intake = intake_to_answer(vault.root(), id);
    if (!intake) throw std::runtime_error(intake.error().message());
    return std::move(*intake);
}

Session human_session(const TempVault& vault) { return vault.session_as(Principal::human(all_operations(), false)); }

TEST(FulfilIntake, CreatesTheRequestedSecretInTheRequestedProjectOnce) {
    const TempVault vault;
    auto id = vault.session().request_intake("secret:dev/app/db", "high", "the db", "web", "client/1");
    ASSERT_TRUE(id);
    const Session human = human_session(vault);
    const core::PendingIntake shown = shown_intake(vault, *id);

    auto view = human.fulfil_intake(shown, core::SecretValue::from_text("s3cret"));
    ASSERT_TRUE(view) << view.error().message();
    EXPECT_EQ(view->origin, "project:web");
    const auto record = vault.get("secret:dev/app/db", "web");
    ASSERT_TRUE(record);
    EXPECT_EQ(literal_text(*record), "s3cret");
    EXPECT_EQ(record->meta.sensitivity, core::Sensitivity::High);
    EXPECT_EQ(record->meta.description, "the db");
    EXPECT_FALSE(vault.get("secret:dev/app/db"));
    EXPECT_TRUE(names_in(vault.root() / "intake").empty());
    EXPECT_EQ(vault.audit_words(), std::vector<std::string>{"create/intake-fulfilled"});

    auto twice = human.fulfil_intake(shown, core::SecretValue::from_text("other"));
    ASSERT_FALSE(twice);
    EXPECT_TRUE(is_not_found(twice.error()));
}

// An agent rewrote intake/ID.json while the owner typed the value, turning
// the "high" the owner saw into "low" in another project.
TEST(FulfilIntake, WhatIsCreatedIsWhatTheOwnerSawNotWhatTheFileSaysNow) {
    const TempVault vault;
    auto id = vault.session().request_intake("secret:dev/app/db", "high", "the db", std::nullopt, std::nullopt);
    ASSERT_TRUE(id);
    const core::PendingIntake shown = shown_intake(vault, *id);
    const fs::path file = vault.root() / "intake" / (*id + ".json");
    std::string text = testing::read_file(file);
    for (const auto& [from, to] : {std::pair{"\"high\"", "\"low\""}, std::pair{"\"project\":null", "\"project\":\"web\""}}) {
        const std::size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, std::string_view(from).size(), to);
    }
    write_file(file, text);

    auto view = human_session(vault).fulfil_intake(shown, core::SecretValue::from_text("s3cret"));
    ASSERT_TRUE(view) << view.error().message();
    EXPECT_EQ(vault.get("secret:dev/app/db")->meta.sensitivity, core::Sensitivity::High);
    EXPECT_FALSE(vault.get("secret:dev/app/db", "web"));
    EXPECT_FALSE(fs::exists(file));
}

TEST(FulfilIntake, NeverReplacesAnExistingSecretAndKeepsTheRequest) {
    const TempVault vault;
    vault.put(literal("dev/app/db", "original"));
    auto id = vault.session().request_intake("secret:dev/app/db", "low", std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(id);
    auto refused = human_session(vault).fulfil_intake(shown_intake(vault, *id), core::SecretValue::from_text("replacement"));
    ASSERT_FALSE(refused);
    EXPECT_EQ(other_text(refused.error()),
              "`dev/app/db` already exists; replace it with `tarnel set` or reject the request");
    EXPECT_EQ(literal_text(*vault.get("secret:dev/app/db")), "original");
    EXPECT_TRUE(fs::exists(vault.root() / "intake" / (*id + ".json")));
}

TEST(FulfilIntake, ARequestWhoseEnvironmentContradictsItsCoordinateIsRefused) {
    const TempVault vault;
    fs::create_directories(vault.root() / "intake");
    write_file(vault.root() / "intake" / "1-2-3.json",
               R"({"id":"1-2-3","created_unix":1,"coordinate":"secret:prod/app/db","sensitivity":"low",)"
               R"("environment":"dev","origin":"agent","requesting_process":null,"description":null,"project":null})");
    auto refused = intake_to_answer(vault.root(), "1-2-3");
    ASSERT_FALSE(refused);
    EXPECT_EQ(other_text(refused.error()), "intake 1-2-3 names environment `dev` for a coordinate in another");
    EXPECT_FALSE(vault.get("secret:prod/app/db"));

    auto rejected = reject_intake(vault.root(), "1-2-3", testing::FixedClock(10));
    ASSERT_TRUE(rejected);
    EXPECT_TRUE(names_in(vault.root() / "intake").empty());
    EXPECT_EQ(vault.audit_words(), std::vector<std::string>{"deny/intake-rejected"});
}

}  // namespace
}  // namespace tarnel::session
