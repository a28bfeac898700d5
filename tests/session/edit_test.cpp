#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <future>

#include "core/oversight/file_confirm.hpp"
#include "core/store/record_lock.hpp"
#include "session_fixture.hpp"

namespace tarnel::session {
namespace {

using namespace fixture;
using core::Decision;
using core::Sensitivity;
using Words = std::vector<std::string>;

constexpr std::string_view kDenied = "denied \xE2\x80\x94 sensitivity not lowered";
constexpr std::string_view kTimedOut = "timed out \xE2\x80\x94 sensitivity not lowered";
constexpr std::string_view kChanged = "sensitivity changed while the edit was pending \xE2\x80\x94 sensitivity not lowered";
constexpr std::string_view kAt = "secret:dev/app/token";
const Words kDowngraded = {"approve/approved-downgrade", "sensitivity-downgrade/downgraded", "edit/metadata-updated"};

SessionResult<RecordView> edit(const Session& session, OptText sensitivity, OptText description = std::nullopt) {
    return session.edit_metadata(kAt, sensitivity, description, std::nullopt, std::nullopt, std::nullopt);
}

// --- a human answering through the pending directory ------------------------

// Only the owner's proof approves; a bare "approved", as any process of the
// user can write it, is a forgery and audited as one. Whatever the answer,
// the request and decision files are gone afterwards.
TEST(EditWithHumanTest, TheDecisionFileDecidesTheDowngrade) {
    const std::tuple<std::string_view, bool, std::string_view> answers[] = {
        {testing::kOwnerApproves, true, ""},
        {"approved\n", false, "deny/forged-approval-downgrade"},
        {"maybe", false, "deny/denied-downgrade"},
    };
    for (const auto& [answer, approves, audited] : answers) {
        SCOPED_TRACE("answer \"" + std::string(answer) + "\"");
        TempVault vault;
        vault.put(literal("dev/app/token", "v", Sensitivity::High, false));
        const std::string before = vault.record_bytes(kAt);
        const fs::path pending = vault.root() / "pending";
        Session session =
            vault.session(all_operations(), asking(std::make_shared<core::FileConfirmer>(pending, test_key(), 5ms)));
        SessionResult<RecordView> outcome = std::unexpected(SessionError::other("not run"));
        {
            ScriptedHuman human(pending, std::string(answer));
            outcome = edit(session, "medium");
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
                R"json("requesting_process":null,"requester_description":null,"action":null,"allow_password":true,)json"
                R"json("run":null})json";
            EXPECT_NE(seen->second.find(R"(,"request":)" + expected_request + R"(,"expires_unix":)"), std::string::npos)
                << seen->second;
        }
        EXPECT_TRUE(names_in(pending).empty());
        if (approves) {
            ASSERT_TRUE(outcome) << outcome.error().message();
            EXPECT_EQ(vault.get(kAt)->meta.sensitivity, Sensitivity::Medium);
            EXPECT_EQ(vault.audit_words(), kDowngraded);
        } else {
            ASSERT_FALSE(outcome);
            EXPECT_EQ(denied_text(outcome.error()), kDenied);
            EXPECT_EQ(vault.record_bytes(kAt), before);
            EXPECT_EQ(vault.audit_words(), Words{std::string(audited)});
        }
    }
}

TEST(EditWithHumanTest, NoAnswerTimesOutAndWithdrawsTheRequest) {
    TempVault vault;
    vault.put(literal("dev/app/token", "v", Sensitivity::InjectOnly, false));
    const std::string before = vault.record_bytes(kAt);
    const fs::path pending = vault.root() / "pending";
    Session session = vault.session(all_operations(), asking(std::make_shared<core::FileConfirmer>(pending, test_key(), 5ms), 300ms));
    std::optional<std::pair<std::string, std::string>> seen;
    SessionResult<RecordView> outcome = std::unexpected(SessionError::other("not run"));
    {
        ScriptedHuman human(pending, std::nullopt);
        const auto start = std::chrono::steady_clock::now();
        outcome = edit(session, "low");
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
        seen = human.seen();
    }
    ASSERT_FALSE(outcome);
    EXPECT_EQ(denied_text(outcome.error()), kTimedOut);
    ASSERT_TRUE(seen);
    EXPECT_NE(seen->second.find("(downgrade from InjectOnly)"), std::string::npos);
    EXPECT_TRUE(names_in(pending).empty());
    EXPECT_EQ(vault.record_bytes(kAt), before);
    EXPECT_EQ(vault.audit_words(), Words{"timeout/timeout-downgrade"});
}

// --- other edits that lower protection ------------------------------------------

// Remembers each request and answers with a fixed decision.
class AnsweringConfirmer final : public core::Confirmer {
public:
    explicit AnsweringConfirmer(Decision answer) : answer_(answer) {}
    Decision confirm(const core::ConfirmRequest& request, std::chrono::milliseconds) const override {
        seen_.push_back(request);
        return answer_;
    }
    mutable std::vector<core::ConfirmRequest> seen_;

private:
    Decision answer_;
};

// Making a value revealable and pointing a reference elsewhere hand an agent
// what it could not reach before, so they wait for the owner like a
// downgrade; the reverse, and a reference left as it is, do not.
TEST(EditLoweringTest, RevealableAndANewReferenceWaitForTheOwner) {
    constexpr std::string_view kOld = "aws-sm://us-east-1/dev-db";
    constexpr std::string_view kNew = "aws-sm://us-east-1/prod-db";
    struct Case {
        const char* name;
        bool reference_record;
        std::optional<bool> revealable;
        std::optional<std::string_view> reference;
        Decision decision;
        std::optional<std::string_view> asked;  // the request's action; nullopt: nobody is asked
        std::optional<std::string_view> refused;
        Words audit;
    };
    const Case cases[] = {
        {"revealable approved", false, true, std::nullopt, Decision::Approved, "make the value revealable to agents",
         std::nullopt, {"approve/approved-revealable", "edit/metadata-updated"}},
        {"revealable forged", false, true, std::nullopt, Decision::Forged, "make the value revealable to agents",
         "denied \u2014 not made revealable", {"deny/forged-approval-revealable"}},
        {"revealable timed out", false, true, std::nullopt, Decision::TimedOut, "make the value revealable to agents",
         "timed out \u2014 not made revealable", {"timeout/timeout-revealable"}},
        {"not revealable is free", false, false, std::nullopt, Decision::Denied, std::nullopt, std::nullopt,
         {"edit/metadata-updated"}},
        {"reference approved", true, std::nullopt, kNew, Decision::Approved,
         "point the reference at aws-sm://us-east-1/prod-db instead of aws-sm://us-east-1/dev-db", std::nullopt,
         {"approve/approved-reference", "edit/metadata-updated"}},
        {"reference denied", true, std::nullopt, kNew, Decision::Denied,
         "point the reference at aws-sm://us-east-1/prod-db instead of aws-sm://us-east-1/dev-db",
         "denied \u2014 reference not changed", {"deny/denied-reference"}},
        {"same reference is free", true, std::nullopt, kOld, Decision::Denied, std::nullopt, std::nullopt,
         {"edit/metadata-updated"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempVault vault;
        auto record = literal("dev/app/token", "v", Sensitivity::Medium, false);
        if (c.reference_record) record.kind = core::ReferenceRecord{std::string(kOld)};
        vault.put(std::move(record));
        const std::string before = vault.record_bytes(kAt);
        const auto confirmer = std::make_shared<AnsweringConfirmer>(c.decision);
        Session session = vault.session(all_operations(), asking(confirmer));
        auto outcome = session.edit_metadata(kAt, std::nullopt, std::nullopt, c.revealable, c.reference, std::nullopt);
        if (c.asked) {
            ASSERT_EQ(confirmer->seen_.size(), 1U);
            EXPECT_EQ(confirmer->seen_[0].action, std::string(*c.asked));
        } else {
            EXPECT_TRUE(confirmer->seen_.empty());
        }
        if (c.refused) {
            ASSERT_FALSE(outcome);
            EXPECT_EQ(denied_text(outcome.error()), std::string(*c.refused));
            EXPECT_EQ(vault.record_bytes(kAt), before);
        } else {
            ASSERT_TRUE(outcome) << outcome.error().message();
            if (c.revealable) {
                EXPECT_EQ(vault.get(kAt)->meta.revealable, *c.revealable);
            }
            if (c.reference) {
                EXPECT_EQ(std::get<core::ReferenceRecord>(vault.get(kAt)->kind).ref, *c.reference);
            }
        }
        EXPECT_EQ(vault.audit_words(), c.audit);
    }
}

// --- the record changing while a human decides -------------------------------

// A High record is lowered to low (or medium) while another session acts
// during the wait. The edit applies to the record as it is after the wait, an
// approval never lowers a level raised meanwhile, and no lock is held while
// the human decides.
TEST(EditWhileWaitingTest, TheRecordAsItIsAfterTheWaitDecides) {
    struct Case {
        const char* name;
        Decision decision;
        std::function<bool(const Session& other)> meanwhile;
        std::optional<std::string_view> error;  // nullopt: the edit succeeds; "" : NotFound
        std::optional<Sensitivity> final_level;  // nullopt: the record is gone
        std::optional<Words> audit;
        bool value_written = false;  // the other session's set stays
    };
    const auto set_value = [](const Session& other) {
        return other.set(kAt, core::SecretValue::from_text("written meanwhile"), std::nullopt).has_value();
    };
    const Case cases[] = {
        {"value set meanwhile", Decision::Approved, set_value, std::nullopt, Sensitivity::Low,
         Words{"edit/value-updated", kDowngraded[0], kDowngraded[1], kDowngraded[2]}, true},
        {"level raised meanwhile", Decision::Approved,
         [](const Session& other) { return edit(other, "inject-only").has_value(); },
         kChanged, Sensitivity::InjectOnly, Words{"edit/metadata-updated", "approve/approved-downgrade"}},
        {"level lowered meanwhile", Decision::Approved,
         [](const Session& other) { return edit(other, "medium").has_value(); },
         std::nullopt, Sensitivity::Low,
         Words{kDowngraded[0], kDowngraded[1], kDowngraded[2], kDowngraded[0], kDowngraded[1], kDowngraded[2]}},
        {"record deleted meanwhile", Decision::Approved,
         [](const Session& other) { return other.remove(kAt, std::nullopt).has_value(); }, "",
         std::nullopt, std::nullopt},
        // Run elsewhere with a deadline, so a held lock fails the test instead of hanging it.
        {"no lock held while deciding", Decision::Denied,
         [&](const Session& other) {
             auto write = std::async(std::launch::async, [&] { return set_value(other); });
             return write.wait_for(5s) == std::future_status::ready && write.get();
         },
         kDenied, Sensitivity::High, Words{"edit/value-updated", "deny/denied-downgrade"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempVault vault;
        vault.put(literal("dev/app/token", "before", Sensitivity::High, false));
        Session other = vault.session(all_operations(), asking(std::make_shared<MockConfirmer>(Decision::Approved)));
        bool meanwhile_ok = false;
        Session session = vault.session(
            all_operations(), asking(std::make_shared<MockConfirmer>(c.decision, [&] { meanwhile_ok = c.meanwhile(other); })));
        auto outcome = edit(session, "low", "described");
        EXPECT_TRUE(meanwhile_ok);
        if (!c.error) {
            ASSERT_TRUE(outcome) << outcome.error().message();
        } else if (c.error->empty()) {
            ASSERT_FALSE(outcome);
            EXPECT_TRUE(is_not_found(outcome.error()));
        } else {
            ASSERT_FALSE(outcome);
            EXPECT_EQ(denied_text(outcome.error()), *c.error);
        }
        auto stored = vault.get(kAt);
        if (!c.final_level) {
            EXPECT_FALSE(stored);
            EXPECT_EQ(vault.record_bytes(kAt), "");
            continue;
        }
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->meta.sensitivity, *c.final_level);
        EXPECT_EQ(stored->meta.description, c.error ? std::nullopt : std::optional<std::string>("described"));
        EXPECT_EQ(literal_text(*stored), c.value_written ? "written meanwhile" : "before");
        if (c.audit) {
            EXPECT_EQ(vault.audit_words(), *c.audit);
        }
    }
}

// A downgrade that needed no human at its first look (medium to low) is
// refused when the record was raised to high before the edit got the lock.
TEST(EditWhileWaitingTest, ADowngradeThatBecameSensitiveBeforeTheLockIsRefused) {
    TempVault vault;
    vault.put(literal("dev/app/token", "v", Sensitivity::Medium, false));
    auto never_asked = std::make_shared<MockConfirmer>(Decision::Approved);
    Session session = vault.session(all_operations(), asking(never_asked));
    auto lock = core::RecordLock::acquire(vault.dir(), coordinate(kAt));
    ASSERT_TRUE(lock);
    auto pending = std::async(std::launch::async, [&] { return edit(session, "low"); });
    ASSERT_TRUE(someone_waits_on(lock->path()));
    vault.put(literal("dev/app/token", "v", Sensitivity::High, false));
    std::optional<core::RecordLock> released(std::move(*lock));
    released.reset();

    auto refused = pending.get();
    ASSERT_FALSE(refused);
    EXPECT_EQ(denied_text(refused.error()), kChanged);
    EXPECT_EQ(never_asked->asked(), 0);
    EXPECT_EQ(vault.get(kAt)->meta.sensitivity, Sensitivity::High);
    EXPECT_EQ(vault.audit_bytes(), "");
}

// --- concurrent writers of one record -----------------------------------------

// Each field has one writer; whatever the interleaving, the record must end
// with every writer's last word. A read-modify-write outside the record lock
// would sooner or later put back a stale value or stale metadata.
constexpr int kRounds = 40;

bool write_round(const Session& session, int role, int i) {
    const std::string n = std::to_string(i);
    if (role == 0) return session.set(kAt, core::SecretValue::from_text("value-" + n), std::nullopt).has_value();
    if (role == 1) return edit(session, std::nullopt, "desc-" + n).has_value();
    // Alternates a raise and an approved downgrade.
    return edit(session, i % 2 == 0 ? "high" : "low").has_value();
}

void expect_last_words(const TempVault& vault) {
    auto stored = vault.get(kAt);
    ASSERT_TRUE(stored);
    EXPECT_EQ(literal_text(*stored), "value-" + std::to_string(kRounds - 1));
    EXPECT_EQ(stored->meta.description, "desc-" + std::to_string(kRounds - 1));
    EXPECT_EQ(stored->meta.sensitivity, (kRounds - 1) % 2 == 0 ? Sensitivity::High : Sensitivity::Low);
    const auto words = vault.audit_words();
    EXPECT_EQ(std::count(words.begin(), words.end(), "edit/value-updated"), kRounds);
    EXPECT_EQ(std::count(words.begin(), words.end(), "edit/metadata-updated"), 2 * kRounds);
    EXPECT_EQ(std::count(words.begin(), words.end(), "sensitivity-downgrade/downgraded"), kRounds / 2);
}

TEST(ConcurrentWritersTest, ThreadsNeverWriteBackStaleFields) {
    TempVault vault;
    vault.put(literal("dev/app/token", "value-start", Sensitivity::Medium, false));
    auto approve = std::make_shared<MockConfirmer>(Decision::Approved);
    std::vector<Session> sessions;
    for (int role = 0; role < 3; ++role) sessions.push_back(vault.session(all_operations(), asking(approve)));
    std::atomic<int> failures = 0;
    std::vector<std::thread> writers;
    for (int role = 0; role < 3; ++role) {
        writers.emplace_back([&, role] {
            for (int i = 0; i < kRounds; ++i) {
                if (!write_round(sessions[static_cast<std::size_t>(role)], role, i)) ++failures;
            }
        });
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(failures, 0);
    expect_last_words(vault);
}

// The same across processes: each child has its own open file descriptions
// and its own copy of the session.
TEST(ConcurrentWritersTest, ProcessesNeverWriteBackStaleFields) {
    TempVault vault;
    vault.put(literal("dev/app/token", "value-start", Sensitivity::Medium, false));
    Session session = vault.session(all_operations(), asking(std::make_shared<MockConfirmer>(Decision::Approved)));
    std::vector<pid_t> children;
    for (int role = 0; role < 3; ++role) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            int failed = 0;
            for (int i = 0; i < kRounds; ++i) failed += write_round(session, role, i) ? 0 : 1;
            ::_exit(failed == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t child : children) {
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    expect_last_words(vault);
}

}  // namespace
}  // namespace tarnel::session
