#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/file_confirm.hpp"
#include "core/record_lock.hpp"
#include "ffi/session_edit.hpp"
#include "session_fixture.hpp"
#include "writes_support.hpp"

namespace tarnel::ffi {
namespace {

using namespace fixture;
using namespace writes;
using core::Decision;
using core::Operation;
using core::Sensitivity;
using Names = std::set<std::string, std::less<>>;

constexpr std::string_view kDenied = "denied \xE2\x80\x94 sensitivity not lowered";
constexpr std::string_view kTimedOut = "timed out \xE2\x80\x94 sensitivity not lowered";
constexpr std::string_view kChanged = "sensitivity changed while the edit was pending \xE2\x80\x94 sensitivity not lowered";
constexpr std::string_view kAt = "secret:dev/app/token";

// --- apply_edits ----------------------------------------------------------

TEST(ApplyEditsTest, ReferenceOnlyEditsAReferenceSecret) {
    const std::pair<core::SecretRecord, std::string_view> others[] = {
        {literal("dev/a/b", "v"), "`reference` edits a reference secret; this is a literal"},
        {keypair("dev/a/b", "pub"), "`reference` edits a reference secret; this is a keypair"},
        {totp("dev/a/b", "seed"), "`reference` edits a reference secret; this is a TOTP enrollment"},
    };
    for (const auto& [record, message] : others) {
        auto edited = apply_edits(record, std::nullopt, std::nullopt, "aws-sm://r/s", std::nullopt, "dev", "T");
        ASSERT_FALSE(edited);
        EXPECT_EQ(other_text(edited.error()), message);
    }
    auto moved = apply_edits(reference("dev/a/b", "azure-kv://old/s", Sensitivity::High), std::nullopt, std::nullopt,
                             "aws-sm://eu-west-1/new", std::nullopt, "dev", "T");
    ASSERT_TRUE(moved);
    EXPECT_EQ(std::get<core::ReferenceRecord>(moved->kind).ref, "aws-sm://eu-west-1/new");
    EXPECT_EQ(moved->meta.sensitivity, Sensitivity::High);
}

TEST(ApplyEditsTest, GivenFieldsReplaceAndTheRestIsKept) {
    auto original = totp("dev/mail/otp", "seed", core::TotpAlgorithm::Sha512, 8, 60, Sensitivity::High, false);
    original.meta.description = "old";
    auto edited = apply_edits(original, Sensitivity::Low, "", std::nullopt, true, "dev", "2030-01-01T00:00:00Z");
    ASSERT_TRUE(edited);
    EXPECT_EQ(edited->meta.sensitivity, Sensitivity::Low);
    EXPECT_EQ(edited->meta.description, "");
    EXPECT_TRUE(edited->meta.revealable);
    EXPECT_EQ(edited->meta.updated, "2030-01-01T00:00:00Z");
    EXPECT_EQ(edited->meta.created, kStamp);
    EXPECT_EQ(edited->meta.component, "mail");
    EXPECT_EQ(edited->meta.key, "otp");
    const auto& otp = std::get<core::TotpRecord>(edited->kind);
    EXPECT_TRUE(otp.seed.same_bytes(std::get<core::TotpRecord>(original.kind).seed));
    EXPECT_EQ(otp.algorithm, core::TotpAlgorithm::Sha512);
    EXPECT_EQ(otp.digits, 8);
    EXPECT_EQ(otp.period, 60);
    // The input is left as it was.
    EXPECT_EQ(original.meta.sensitivity, Sensitivity::High);
    EXPECT_EQ(original.meta.description, "old");

    auto kept = apply_edits(original, std::nullopt, std::nullopt, std::nullopt, std::nullopt, "dev", "T");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->meta.sensitivity, Sensitivity::High);
    EXPECT_EQ(kept->meta.description, "old");
    EXPECT_FALSE(kept->meta.revealable);
    EXPECT_EQ(kept->meta.updated, "T");
}

// --- edit_metadata ---------------------------------------------------------

class EditTest : public ::testing::Test {
protected:
    FfiResult<RecordView> edit(const core::Confirmer& confirmer, OptText sensitivity,
                               OptText description = std::nullopt, std::optional<bool> revealable = std::nullopt,
                               OptText reference = std::nullopt, OptText project = std::nullopt,
                               std::string_view at = kAt) {
        return session_.edit_metadata_with(confirmer, 5s, at, sensitivity, description, revealable, reference,
                                           project);
    }

    std::string file_bytes(std::string_view at = kAt) { return *read_file(vault_.record_file(at)); }

    TempVault vault_;
    Session session_ = vault_.session();
    MockConfirmer approve_{Decision::Approved};
};

TEST_F(EditTest, ApprovedDowngradeAsksWithTheCommandAndAuditsInOrder) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    MockConfirmer human(Decision::Approved);
    auto view = session_.edit_metadata_with(human, 1234ms, kAt, "medium", std::nullopt, std::nullopt,
                                            std::nullopt, std::nullopt);
    ASSERT_TRUE(view) << view.error().message();
    EXPECT_EQ(view->sensitivity, "medium");
    EXPECT_EQ(vault_.get(kAt)->meta.sensitivity, Sensitivity::Medium);

    ASSERT_EQ(human.requests().size(), 1U);
    const core::ConfirmRequest asked = human.requests()[0];
    EXPECT_EQ(asked.resolved_command, "edit dev/app/token --sensitivity medium (downgrade from High)");
    EXPECT_EQ(asked.coordinate, "dev/app/token");
    EXPECT_EQ(asked.sensitivity, Sensitivity::High);
    EXPECT_EQ(asked.environment, "dev");
    EXPECT_EQ(asked.origin, core::Actor::Agent);
    EXPECT_EQ(asked.requesting_process, std::nullopt);
    EXPECT_EQ(asked.requester_description, std::nullopt);
    EXPECT_EQ(asked.action, std::nullopt);
    EXPECT_TRUE(asked.allow_password);
    EXPECT_EQ(human.timeouts(), std::vector<std::chrono::milliseconds>{1234ms});

    const auto events = audit_events(vault_);
    ASSERT_EQ(events.size(), 3U);
    EXPECT_EQ(events[0].action + "/" + events[0].result, "approve/approved-downgrade");
    EXPECT_EQ(events[1].action + "/" + events[1].result, "sensitivity-downgrade/downgraded");
    EXPECT_EQ(events[2].action + "/" + events[2].result, "edit/metadata-updated");
    for (const auto& event : events) {
        EXPECT_EQ(event.coordinate, "dev/app/token");
        EXPECT_EQ(event.environment, "dev");
        EXPECT_EQ(event.origin, "agent");
    }
}

TEST_F(EditTest, InjectOnlyIsNamedByItsVariantName) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::InjectOnly, false));
    ASSERT_TRUE(edit(approve_, "high"));
    ASSERT_EQ(approve_.requests().size(), 1U);
    EXPECT_EQ(approve_.requests()[0].resolved_command, "edit dev/app/token --sensitivity high (downgrade from InjectOnly)");
    EXPECT_EQ(approve_.requests()[0].sensitivity, Sensitivity::InjectOnly);
    EXPECT_EQ(vault_.get(kAt)->meta.sensitivity, Sensitivity::High);
}

TEST_F(EditTest, MediumToLowNeedsNoHumanButIsAuditedAsADowngrade) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::Medium, false));
    ASSERT_TRUE(edit(approve_, "low"));
    EXPECT_TRUE(approve_.requests().empty());
    EXPECT_EQ(audit_words(vault_),
              (std::vector<std::string>{"sensitivity-downgrade/downgraded", "edit/metadata-updated"}));
}

TEST_F(EditTest, RaisingOrKeepingTheLevelIsOnlyAnEdit) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::Low, false));
    ASSERT_TRUE(edit(approve_, "high"));
    ASSERT_TRUE(edit(approve_, "HIGH"));
    ASSERT_TRUE(edit(approve_, "Inject_Only"));
    EXPECT_TRUE(approve_.requests().empty());
    EXPECT_EQ(vault_.get(kAt)->meta.sensitivity, Sensitivity::InjectOnly);
    EXPECT_EQ(audit_words(vault_), (std::vector<std::string>(3, "edit/metadata-updated")));
}

TEST_F(EditTest, DenialAndTimeOutLeaveTheFileByteForByte) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    const std::string before = file_bytes();

    MockConfirmer no(Decision::Denied);
    auto denied = edit(no, "low", "changed", true);
    ASSERT_FALSE(denied);
    EXPECT_EQ(denied_text(denied.error()), kDenied);
    EXPECT_EQ(denied.error().message(), kDenied);

    MockConfirmer silent(Decision::TimedOut);
    auto timed_out = edit(silent, "medium");
    ASSERT_FALSE(timed_out);
    EXPECT_EQ(denied_text(timed_out.error()), kTimedOut);

    EXPECT_EQ(file_bytes(), before);
    EXPECT_EQ(audit_words(vault_), (std::vector<std::string>{"deny/denied-downgrade", "timeout/timeout-downgrade"}));
}

TEST_F(EditTest, CoordinateAloneRewritesTheRecordWithANewUpdateTime) {
    auto record = literal("dev/app/token", "v", Sensitivity::Medium, false);
    record.meta.description = "same";
    vault_.put(record);
    auto view = edit(approve_, std::nullopt);
    ASSERT_TRUE(view);
    auto stored = vault_.get(kAt);
    EXPECT_NE(stored->meta.updated, kStamp);
    EXPECT_EQ(stored->meta.created, kStamp);
    EXPECT_EQ(stored->meta.description, "same");
    EXPECT_EQ(literal_text(*stored), "v");
    EXPECT_EQ(audit_words(vault_), std::vector<std::string>{"edit/metadata-updated"});
}

TEST_F(EditTest, DescriptionAndRevealableAreSetAndAnEmptyDescriptionIsKept) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::Medium, false));
    auto view = edit(approve_, std::nullopt, "", true);
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->revealable);
    EXPECT_EQ(vault_.get(kAt)->meta.description, "");
    EXPECT_TRUE(vault_.get(kAt)->meta.revealable);
}

TEST_F(EditTest, ReferenceEdits) {
    vault_.put(totp("dev/mail/otp", "seed"));
    const std::string before = file_bytes("secret:dev/mail/otp");
    auto on_totp = edit(approve_, std::nullopt, std::nullopt, std::nullopt, "aws-sm://r/s", std::nullopt,
                        "secret:dev/mail/otp");
    ASSERT_FALSE(on_totp);
    EXPECT_EQ(other_text(on_totp.error()), "`reference` edits a reference secret; this is a TOTP enrollment");
    EXPECT_EQ(file_bytes("secret:dev/mail/otp"), before);

    vault_.put(reference("dev/app/ref", "azure-kv://v/old", Sensitivity::High, false));
    auto moved = edit(approve_, std::nullopt, std::nullopt, std::nullopt, "azure-kv://v/new", std::nullopt,
                      "secret:dev/app/ref");
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->reference, "azure-kv://v/new");
    EXPECT_EQ(moved->sensitivity, "high");
    EXPECT_EQ(audit_words(vault_), std::vector<std::string>{"edit/metadata-updated"});
}

TEST_F(EditTest, AnApprovalFollowedByAFailingStepIsAuditedAndChangesNothing) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    const std::string before = file_bytes();
    auto failed = edit(approve_, "low", std::nullopt, std::nullopt, "aws-sm://r/s");
    ASSERT_FALSE(failed);
    EXPECT_EQ(other_text(failed.error()), "`reference` edits a reference secret; this is a literal");
    EXPECT_EQ(file_bytes(), before);
    EXPECT_EQ(audit_words(vault_), std::vector<std::string>{"approve/approved-downgrade"});
}

TEST_F(EditTest, OnlyTheTargetVaultIsEdited) {
    vault_.put(literal("dev/app/token", "global", Sensitivity::Medium, false));
    auto elsewhere = edit(approve_, "low", std::nullopt, std::nullopt, std::nullopt, "p");
    ASSERT_FALSE(elsewhere);
    EXPECT_TRUE(is_not_found(elsewhere.error()));
    EXPECT_FALSE(fs::exists(vault_.dir("p")));

    vault_.put(literal("dev/app/token", "project", Sensitivity::Medium, false), "p");
    auto in_project = edit(approve_, "low", std::nullopt, std::nullopt, std::nullopt, "p");
    ASSERT_TRUE(in_project);
    EXPECT_EQ(in_project->origin, "project:p");
    EXPECT_EQ(vault_.get(kAt, "p")->meta.sensitivity, Sensitivity::Low);
    EXPECT_EQ(vault_.get(kAt)->meta.sensitivity, Sensitivity::Medium);
}

TEST_F(EditTest, FailuresBeforeTheEditAreNotAudited) {
    auto absent = edit(approve_, "no-such-word");
    ASSERT_FALSE(absent);
    EXPECT_TRUE(is_not_found(absent.error()));  // the record is looked up before the word

    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    auto unknown = edit(approve_, "secret");
    ASSERT_FALSE(unknown);
    EXPECT_EQ(other_text(unknown.error()), "unknown sensitivity `secret` (expected low|medium|high|inject-only)");

    Session no_write = vault_.session(scope_of({Operation::Metadata, Operation::Reveal}));
    EXPECT_TRUE(is_not_found(
        no_write.edit_metadata_with(approve_, 5s, kAt, "low", std::nullopt, std::nullopt, std::nullopt, std::nullopt)
            .error()));
    Session prod_only = vault_.session(scope_of({Operation::Write}, std::nullopt, Names{"prod"}));
    EXPECT_TRUE(is_not_found(
        prod_only.edit_metadata_with(approve_, 5s, kAt, "low", std::nullopt, std::nullopt, std::nullopt, std::nullopt)
            .error()));

    auto placeholder = edit(approve_, "low", std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                            "secret:${ENV}/app/token");
    ASSERT_FALSE(placeholder);
    EXPECT_TRUE(other_text(placeholder.error()));

    EXPECT_TRUE(approve_.requests().empty());
    EXPECT_EQ(vault_.audit_bytes(), "");
}

TEST_F(EditTest, ARecordSealedWithAnotherKeyIsACoreError) {
    std::array<std::uint8_t, core::MasterKey::kSize> bytes{};
    bytes.fill(3);
    auto sealed = core::seal(literal("dev/app/token", "v"), core::MasterKey(bytes));
    ASSERT_TRUE(sealed);
    ASSERT_TRUE(core::write_record(vault_.dir(), coordinate(kAt), *sealed));
    auto edited = edit(approve_, "low");
    ASSERT_FALSE(edited);
    EXPECT_EQ(edited.error().message(), "crypto operation failed");
}

// --- the record changing while a human decides -------------------------------

TEST_F(EditTest, AnEditAppliesToTheRecordAsItIsAfterTheWait) {
    vault_.put(literal("dev/app/token", "before", Sensitivity::High, false));
    Session other = vault_.session();
    MockConfirmer human(Decision::Approved, [&] {
        EXPECT_TRUE(other.set(kAt, core::SecretValue::from_text("written meanwhile"), std::nullopt));
    });
    ASSERT_TRUE(edit(human, "medium", "described"));
    auto stored = vault_.get(kAt);
    EXPECT_EQ(literal_text(*stored), "written meanwhile");
    EXPECT_EQ(stored->meta.sensitivity, Sensitivity::Medium);
    EXPECT_EQ(stored->meta.description, "described");
    EXPECT_EQ(audit_words(vault_),
              (std::vector<std::string>{"edit/value-updated", "approve/approved-downgrade",
                                        "sensitivity-downgrade/downgraded", "edit/metadata-updated"}));
}

TEST_F(EditTest, ALevelRaisedDuringTheWaitIsNotLoweredOnTheOldApproval) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    Session other = vault_.session();
    MockConfirmer human(Decision::Approved, [&] {
        EXPECT_TRUE(other.edit_metadata_with(approve_, 5s, kAt, "inject-only", std::nullopt, std::nullopt,
                                             std::nullopt, std::nullopt));
    });
    auto refused = edit(human, "low");
    ASSERT_FALSE(refused);
    EXPECT_EQ(denied_text(refused.error()), kChanged);
    EXPECT_EQ(vault_.get(kAt)->meta.sensitivity, Sensitivity::InjectOnly);
    EXPECT_EQ(audit_words(vault_),
              (std::vector<std::string>{"edit/metadata-updated", "approve/approved-downgrade"}));
}

TEST_F(EditTest, ALevelLoweredDuringTheWaitStillTakesTheEdit) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    Session other = vault_.session();
    MockConfirmer human(Decision::Approved, [&] {
        // Another approved downgrade, to medium, lands first.
        EXPECT_TRUE(other.edit_metadata_with(approve_, 5s, kAt, "medium", std::nullopt, std::nullopt,
                                             std::nullopt, std::nullopt));
    });
    ASSERT_TRUE(edit(human, "low"));
    EXPECT_EQ(vault_.get(kAt)->meta.sensitivity, Sensitivity::Low);
    const auto words = audit_words(vault_);
    ASSERT_EQ(words.size(), 6U);
    EXPECT_EQ(std::vector<std::string>(words.begin() + 3, words.end()),
              (std::vector<std::string>{"approve/approved-downgrade", "sensitivity-downgrade/downgraded",
                                        "edit/metadata-updated"}));
}

TEST_F(EditTest, ADowngradeThatBecameSensitiveBeforeTheLockIsRefused) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::Medium, false));
    auto lock = core::RecordLock::acquire(vault_.dir(), coordinate(kAt));
    ASSERT_TRUE(lock);
    MockConfirmer never_asked(Decision::Approved);
    auto pending = std::async(std::launch::async, [&] { return edit(never_asked, "low"); });
    // The edit has taken its first look (medium: no human needed) and now waits
    // for the lock, while the record is raised to high under it.
    ASSERT_TRUE(someone_waits_on(lock->path()));
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    std::optional<core::RecordLock> released(std::move(*lock));
    released.reset();

    auto refused = pending.get();
    ASSERT_FALSE(refused);
    EXPECT_EQ(denied_text(refused.error()), kChanged);
    EXPECT_TRUE(never_asked.requests().empty());
    EXPECT_EQ(vault_.get(kAt)->meta.sensitivity, Sensitivity::High);
    EXPECT_EQ(vault_.audit_bytes(), "");
}

TEST_F(EditTest, NoLockIsHeldWhileTheHumanDecides) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    Session other = vault_.session();
    bool other_finished = false;
    MockConfirmer human(Decision::Denied, [&] {
        // Run elsewhere with a deadline, so a held lock fails the test instead of hanging it.
        auto write = std::async(std::launch::async, [&] {
            return other.set(kAt, core::SecretValue::from_text("not blocked"), std::nullopt).has_value();
        });
        other_finished = write.wait_for(5s) == std::future_status::ready && write.get();
    });
    ASSERT_FALSE(edit(human, "low"));
    EXPECT_TRUE(other_finished);
}

TEST_F(EditTest, RecordDeletedDuringTheWaitIsNotFound) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    Session other = vault_.session();
    MockConfirmer human(Decision::Approved, [&] { EXPECT_TRUE(other.remove(kAt, std::nullopt)); });
    auto gone = edit(human, "low");
    ASSERT_FALSE(gone);
    EXPECT_TRUE(is_not_found(gone.error()));
    EXPECT_FALSE(vault_.get(kAt));
    EXPECT_FALSE(fs::exists(vault_.record_file(kAt)));
}

// --- a human answering through the pending directory ------------------------

struct HumanCase {
    std::string name;
    std::string answer;
    bool approves;
};

class EditWithHumanTest : public EditTest, public ::testing::WithParamInterface<HumanCase> {};

TEST_P(EditWithHumanTest, DecisionFileDecidesTheEdit) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    const std::string before = file_bytes();
    const fs::path pending = vault_.root() / "pending";
    const core::FileConfirmer confirmer(pending, 5ms);
    FfiResult<RecordView> outcome = std::unexpected(FfiError::other("not run"));
    {
        ScriptedHuman human(pending, GetParam().answer);
        outcome = edit(confirmer, "medium");
        auto seen = human.seen();
        ASSERT_TRUE(seen);
        rapidjson::Document doc;
        doc.Parse(seen->second.c_str());
        ASSERT_FALSE(doc.HasParseError());
        EXPECT_EQ(seen->first, std::string(doc["id"].GetString()) + ".json");
        EXPECT_TRUE(doc["created_unix"].IsUint64());
        const std::string expected_request =
            R"json({"resolved_command":"edit dev/app/token --sensitivity medium (downgrade from High)",)json"
            R"json("coordinate":"dev/app/token","sensitivity":"high","environment":"dev","origin":"agent",)json"
            R"json("requesting_process":null,"requester_description":null,"action":null,"allow_password":true})json";
        EXPECT_NE(seen->second.find(R"(,"request":)" + expected_request + "}"), std::string::npos) << seen->second;
    }
    EXPECT_TRUE(names_in(pending).empty());
    if (GetParam().approves) {
        ASSERT_TRUE(outcome) << outcome.error().message();
        EXPECT_EQ(vault_.get(kAt)->meta.sensitivity, Sensitivity::Medium);
        EXPECT_EQ(audit_words(vault_),
                  (std::vector<std::string>{"approve/approved-downgrade", "sensitivity-downgrade/downgraded",
                                            "edit/metadata-updated"}));
    } else {
        ASSERT_FALSE(outcome);
        EXPECT_EQ(denied_text(outcome.error()), kDenied);
        EXPECT_EQ(file_bytes(), before);
        EXPECT_EQ(audit_words(vault_), std::vector<std::string>{"deny/denied-downgrade"});
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, EditWithHumanTest,
                         ::testing::Values(HumanCase{"ApprovedWithLineFeed", "approved\n", true},
                                           HumanCase{"ApprovedWithSpaces", "  approved ", true},
                                           HumanCase{"Capitals", "APPROVED", false},
                                           HumanCase{"AnotherWord", "maybe", false},
                                           HumanCase{"Empty", "", false}),
                         [](const ::testing::TestParamInfo<HumanCase>& info) { return info.param.name; });

TEST_F(EditTest, NoAnswerTimesOutAndWithdrawsTheRequest) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::InjectOnly, false));
    const std::string before = file_bytes();
    const fs::path pending = vault_.root() / "pending";
    const core::FileConfirmer confirmer(pending, 5ms);
    std::optional<std::pair<std::string, std::string>> seen;
    FfiResult<RecordView> outcome = std::unexpected(FfiError::other("not run"));
    {
        ScriptedHuman human(pending, std::nullopt);
        const auto start = std::chrono::steady_clock::now();
        outcome = session_.edit_metadata_with(confirmer, 300ms, kAt, "low", std::nullopt, std::nullopt,
                                              std::nullopt, std::nullopt);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
        seen = human.seen();
    }
    ASSERT_FALSE(outcome);
    EXPECT_EQ(denied_text(outcome.error()), kTimedOut);
    ASSERT_TRUE(seen);
    EXPECT_NE(seen->second.find("(downgrade from InjectOnly)"), std::string::npos);
    EXPECT_TRUE(names_in(pending).empty());
    EXPECT_EQ(file_bytes(), before);
    EXPECT_EQ(audit_words(vault_), std::vector<std::string>{"timeout/timeout-downgrade"});
}

// The production entry point asks in <root>/pending.
TEST_F(EditTest, EditMetadataAsksUnderTheVaultRoot) {
    vault_.put(literal("dev/app/token", "v", Sensitivity::High, false));
    ScriptedHuman human(vault_.root() / "pending", "approved");
    auto view = session_.edit_metadata(kAt, "low", std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(view) << view.error().message();
    EXPECT_EQ(view->sensitivity, "low");
    EXPECT_TRUE(human.seen());
    EXPECT_TRUE(names_in(vault_.root() / "pending").empty());
}

// --- concurrent writers of one record -----------------------------------------

// Each field has one writer; whatever the interleaving, the record must end
// with every writer's last word. A read-modify-write without the lock would
// sooner or later put back a stale value or stale metadata.
TEST_F(EditTest, ConcurrentSetsAndEditsNeverWriteBackStaleFields) {
    constexpr int kRounds = 40;
    vault_.put(literal("dev/app/token", "value-start", Sensitivity::Medium, false));
    Session setter = vault_.session();
    Session describer = vault_.session();
    Session flagger = vault_.session();
    std::atomic<int> failures = 0;
    std::thread values([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (!setter.set(kAt, core::SecretValue::from_text("value-" + std::to_string(i)), std::nullopt)) ++failures;
        }
    });
    std::thread descriptions([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (!describer.edit_metadata_with(approve_, 5s, kAt, std::nullopt, "desc-" + std::to_string(i),
                                              std::nullopt, std::nullopt, std::nullopt)) {
                ++failures;
            }
        }
    });
    std::thread flags([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (!flagger.edit_metadata_with(approve_, 5s, kAt, std::nullopt, std::nullopt, i % 2 == 0,
                                            std::nullopt, std::nullopt)) {
                ++failures;
            }
        }
    });
    values.join();
    descriptions.join();
    flags.join();

    EXPECT_EQ(failures, 0);
    auto stored = vault_.get(kAt);
    ASSERT_TRUE(stored);
    EXPECT_EQ(literal_text(*stored), "value-" + std::to_string(kRounds - 1));
    EXPECT_EQ(stored->meta.description, "desc-" + std::to_string(kRounds - 1));
    EXPECT_EQ(stored->meta.revealable, (kRounds - 1) % 2 == 0);
    const auto words = audit_words(vault_);
    EXPECT_EQ(std::count(words.begin(), words.end(), "edit/value-updated"), kRounds);
    EXPECT_EQ(std::count(words.begin(), words.end(), "edit/metadata-updated"), 2 * kRounds);
}

// The same across processes: each child has its own open file descriptions
// and its own copy of the session.
TEST_F(EditTest, ConcurrentProcessesNeverWriteBackStaleFields) {
    constexpr int kRounds = 25;
    vault_.put(literal("dev/app/token", "value-start", Sensitivity::Medium, false));
    const auto run_child = [&](int role) -> pid_t {
        const pid_t pid = ::fork();
        if (pid != 0) return pid;
        int failed = 0;
        for (int i = 0; i < kRounds; ++i) {
            const std::string n = std::to_string(i);
            bool ok = false;
            if (role == 0) ok = session_.set(kAt, core::SecretValue::from_text("value-" + n), std::nullopt).has_value();
            if (role == 1) {
                ok = session_.edit_metadata_with(approve_, 5s, kAt, std::nullopt, "desc-" + n, std::nullopt,
                                                 std::nullopt, std::nullopt)
                         .has_value();
            }
            if (role == 2) {
                ok = session_.edit_metadata_with(approve_, 5s, kAt, i % 2 == 0 ? "high" : "low", std::nullopt,
                                                 std::nullopt, std::nullopt, std::nullopt)
                         .has_value();
            }
            if (!ok) ++failed;
        }
        ::_exit(failed == 0 ? 0 : 1);
    };
    std::vector<pid_t> children;
    for (int role = 0; role < 3; ++role) children.push_back(run_child(role));
    for (const pid_t child : children) {
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto stored = vault_.get(kAt);
    ASSERT_TRUE(stored);
    EXPECT_EQ(literal_text(*stored), "value-" + std::to_string(kRounds - 1));
    EXPECT_EQ(stored->meta.description, "desc-" + std::to_string(kRounds - 1));
    EXPECT_EQ(stored->meta.sensitivity, (kRounds - 1) % 2 == 0 ? Sensitivity::High : Sensitivity::Low);
    const auto words = audit_words(vault_);
    EXPECT_EQ(std::count(words.begin(), words.end(), "edit/value-updated"), kRounds);
    EXPECT_EQ(std::count(words.begin(), words.end(), "edit/metadata-updated"), 2 * kRounds);
}

}  // namespace
}  // namespace tarnel::ffi
