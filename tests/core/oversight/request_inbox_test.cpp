// The human's side of the two request directories, read back from what the
// module's own writers put there, and from files planted beside them.

#include <sys/stat.h>

#include <chrono>
#include <future>
#include <string>

#include "core/oversight/file_confirm.hpp"
#include "core/oversight/intake.hpp"
#include "core/oversight/intake_inbox.hpp"
#include "core/oversight/pending_confirmation.hpp"
#include "core/oversight/request_id.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;
using namespace std::chrono_literals;

TEST(RequestId, OnlyThreeNumbersJoinedByHyphensAreIdentifiers) {
    for (const char* good : {"1-2-3", "1767225600-4242-0", "18446744073709551615-1-1"}) {
        EXPECT_TRUE(is_request_id(good)) << good;
    }
    for (const char* bad : {"", "1-2", "1-2-3-4", "-1-2", "1--2", "1-2-", "../1-2-3", "1-2-3/..", "1-2-3.json",
                            "1-2-3 ", "a-b-c", "123456789012345678901-1-1", "1-2-3\n"}) {
        EXPECT_FALSE(is_request_id(bad)) << bad;
    }
}

TEST(PendingDir, ReadsAndAnswersWhatAWaitingConfirmerWrote) {
    TempDir root;
    const MasterKey key = key_of(3);
    const auto confirmer = FileConfirmer::under_root(root.path(), key);
    ConfirmRequest request("dev/app/token", Sensitivity::High, "dev", Actor::Agent);
    request.resolved_command = "edit dev/app/token --sensitivity low (downgrade from High)";
    request.requester_description = "rotate \"it\"\n";
    request.allow_password = true;
    request.run = RunDetail{"/usr/bin/env", {"x"}, "/w",
                            {{"DB", ShownVariable::Source::Vault, "dev/a/b", Sensitivity::High, std::nullopt},
                             {"CFG", ShownVariable::Source::Vault, "dev/none/c", std::nullopt, "/agent/\"c\""}}};
    auto decision = std::async(std::launch::async, [&] { return confirmer.confirm(request, 60s); });

    const auto pending = PendingDir::under_root(root.path());
    std::optional<PendingConfirmation> found;
    for (int tries = 0; tries < 2000 && !found; ++tries) {
        auto listed = pending.list();
        ASSERT_TRUE(listed) << listed.error().display();
        ASSERT_TRUE(listed->unreadable.empty());
        if (!listed->requests.empty()) found = listed->requests.front();
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(found->request, request);
    EXPECT_FALSE(found->answered);
    EXPECT_TRUE(pending.waiting(found->id));

    // The file verifies as written, under this vault's request key only.
    const auto request_key = ProofKey::derive(key, ProofPurpose::Request);
    const auto seal = found->seal_with(*request_key);
    ASSERT_EQ(seal.state, SealState::Sealed);
    EXPECT_EQ(found->seal_with(*ProofKey::derive(key_of(4), ProofPurpose::Request)).state, SealState::Broken);
    EXPECT_EQ(found->expires_unix, found->created_unix + 60);
    auto answered = pending.approve(found->id, seal.mac, *ProofKey::derive(key, ProofPurpose::Answer));
    ASSERT_TRUE(answered && *answered);
    EXPECT_EQ(decision.get(), Decision::Approved);
    EXPECT_TRUE(names_in(pending.dir()).empty());
}

TEST(PendingDir, AnswerNeverReplacesOneAlreadyGiven) {
    TempDir root;
    const auto pending = PendingDir::under_root(root.path());
    fs::create_directories(pending.dir());
    const auto answer_key = ProofKey::derive(key_of(3), ProofPurpose::Answer);
    auto first = pending.deny("1-2-3");
    ASSERT_TRUE(first && *first);
    auto second = pending.approve("1-2-3", Proof{}, *answer_key);
    ASSERT_TRUE(second);
    EXPECT_FALSE(*second);
    EXPECT_EQ(read_file(pending.dir() / "1-2-3.decision"), "denied\n");
    EXPECT_EQ(mode_of(pending.dir() / "1-2-3.decision"), 0600u);
    EXPECT_FALSE(pending.deny("../1-2-3"));
}

TEST(IntakeInbox, FindsWhatTheBrokerStoredAndRemovesIt) {
    TempDir root;
    const auto stored = IntakeBroker::under_root(root.path())
                            .create(PendingIntake("secret:dev/app/db", Sensitivity::High, "dev", Actor::Agent)
                                        .with_description("the \u00e9 db")
                                        .with_project("web")
                                        .with_requesting_process("client/1"));
    ASSERT_TRUE(stored);
    const auto inbox = IntakeInbox::under_root(root.path());
    auto found = inbox.find(stored->id);
    ASSERT_TRUE(found && *found);
    EXPECT_EQ(**found, *stored);
    auto removed = inbox.remove(stored->id);
    ASSERT_TRUE(removed && *removed);
    auto again = inbox.remove(stored->id);
    ASSERT_TRUE(again);
    EXPECT_FALSE(*again);
    auto gone = inbox.find(stored->id);
    ASSERT_TRUE(gone);
    EXPECT_FALSE(*gone);
}

// A valid intake body for the identifier, with `extra` spliced in at the end.
std::string intake_json(const std::string& id, const std::string& extra = "") {
    return R"({"id":")" + id + R"(","created_unix":5,"coordinate":"secret:dev/app/db","sensitivity":"high",)"
           R"("environment":"dev","origin":"agent","requesting_process":null,"description":null,"project":null)" +
           extra + "}";
}

TEST(IntakeInbox, PlantedFilesAreListedApartAndHideNoOther) {
    TempDir root;
    const auto dir = root.path() / "intake";
    fs::create_directories(dir);
    write_file(dir / "1-1-0.json", intake_json("1-1-0"));
    write_file(dir / "1-1-1.json", intake_json("1-1-9"));                         // someone else's id
    write_file(dir / "1-1-2.json", intake_json("1-1-2", R"(,"project":"evil")"));  // duplicate member
    write_file(dir / "1-1-3.json", "{\"id\":");
    write_file(dir / "1-1-4.json", std::string(kMaxRequestFileBytes + 1, ' '));
    ASSERT_EQ(::mkfifo((dir / "1-1-5.json").c_str(), 0600), 0);
    fs::create_symlink(dir / "1-1-0.json", dir / "1-1-6.json");
    write_file(dir / "1-1-7.json", std::string(100000, '[') + std::string(100000, ']'));
    std::string bad_word = intake_json("1-1-8");
    bad_word.replace(bad_word.find("\"high\""), 6, "\"secret\"");
    write_file(dir / "1-1-8.json", bad_word);
    write_file(dir / "1-1-9.tmp", intake_json("1-1-9"));
    write_file(dir / "notes.json", intake_json("1-1-0"));

    auto listed = IntakeInbox::under_root(root.path()).list();
    ASSERT_TRUE(listed) << listed.error().display();
    ASSERT_EQ(listed->requests.size(), 1u);
    EXPECT_EQ(listed->requests.front().id, "1-1-0");
    std::set<std::string> bad;
    for (const auto& entry : listed->unreadable) bad.insert(entry.id + ": " + entry.reason);
    EXPECT_EQ(bad, (std::set<std::string>{
                       "1-1-1: format error: `id` is not the file's name",
                       "1-1-2: format error: duplicate member `project`",
                       "1-1-3: format error: not valid JSON",
                       "1-1-4: format error: larger than 1048576 bytes",
                       "1-1-5: format error: not a regular file",
                       "1-1-6: format error: not a regular file",
                       "1-1-7: format error: not a JSON object",
                       "1-1-8: format error: `sensitivity` must be low, medium, high or inject-only",
                   }));
}

}  // namespace
}  // namespace tarnel::core
