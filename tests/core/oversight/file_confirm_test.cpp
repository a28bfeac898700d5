#include "core/oversight/file_confirm.hpp"

#include <sys/stat.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

long long millis_since(Steady::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start).count();
}

struct SeenRequest {
    std::string id;
    std::string json;
    mode_t mode;
};

// The vault key of these tests, and the answer that stands for the owner's
// genuine approval of whatever request is seen.
const MasterKey& vault_key() {
    static const MasterKey key = key_of(7);
    return key;
}
constexpr std::string_view kGenuine = kOwnerApproves;

// Plays the human-facing tool: notices each pending request, keeps its id and
// JSON, and answers it (when given an answer) by renaming a finished decision
// file into place, so the confirmer never sees a half-written one.
class ScriptedHuman {
public:
    // Requests whose ids are in leave_alone are someone else's: not seen, not answered.
    ScriptedHuman(fs::path pending, std::optional<std::string> answer, std::size_t requests = 1,
                  std::set<std::string> leave_alone = {})
        : pending_(std::move(pending)), answer_(std::move(answer)), requests_(requests),
          handled_(std::move(leave_alone)), thread_([this] { run(); }) {}
    ~ScriptedHuman() { finish(); }

    std::vector<SeenRequest> finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return seen_;
    }

private:
    void run() {
        const auto give_up = Steady::now() + 10s;
        while (!stop_ && seen_.size() < requests_ && Steady::now() < give_up) {
            for (const auto& name : names_in(pending_)) {
                if (!name.ends_with(".json")) continue;
                const std::string id = name.substr(0, name.size() - 5);
                if (handled_.contains(id)) continue;
                struct stat info {};
                if (::stat((pending_ / name).c_str(), &info) != 0) continue;
                seen_.push_back({id, read_file(pending_ / name), info.st_mode & 07777});
                handled_.insert(id);
                if (answer_) {
                    const auto staged = pending_.parent_path() / ("answer-" + id);
                    write_file(staged, *answer_ == kGenuine ? owner_approval(seen_.back().json, vault_key()) : *answer_);
                    fs::rename(staged, pending_ / (id + ".decision"));
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    fs::path pending_;
    std::optional<std::string> answer_;
    std::size_t requests_;
    std::atomic<bool> stop_{false};
    std::set<std::string> handled_;
    std::vector<SeenRequest> seen_;
    std::thread thread_;
};

// The file's text up to its nonce; the nonce and the proof differ every time.
std::string without_proof(const std::string& json) { return json.substr(0, json.find("\"nonce\":")); }
std::string nonce_of(const std::string& json) {
    const auto at = json.find("\"nonce\":\"") + 9;
    return json.substr(at, json.find('"', at) - at);
}

ConfirmRequest sample_request() {
    return ConfirmRequest("secret:dev/app/db", Sensitivity::High, "dev", Actor::Agent);
}

// Only an answer carrying the owner's proof for this very request approves; an
// "approved" without it is a forgery, told apart from a plain denial.
TEST(FileConfirmer, OnlyTheOwnersProofForThisRequestApproves) {
    const auto other_answer_key = ProofKey::derive(key_of(9), ProofPurpose::Answer);
    const auto same_key_answer = ProofKey::derive(vault_key(), ProofPurpose::Answer);
    Proof someone_elses_request{};
    someone_elses_request.fill(0x5a);
    const std::pair<std::string, Decision> cases[] = {
        {std::string(kGenuine), Decision::Approved},
        {"approved", Decision::Forged},  // the word alone, as before proofs
        {"  approved\n", Decision::Forged},
        {"approved " + std::string(64, '0'), Decision::Forged},
        {approval_answer(someone_elses_request, *same_key_answer), Decision::Forged},  // another request's
        {approval_answer(someone_elses_request, *other_answer_key), Decision::Forged},  // another vault's key
        {"approved please", Decision::Forged},
        {"APPROVED", Decision::Denied},
        {"denied", Decision::Denied},
        {"", Decision::Denied},
        {"approved\xFF", Decision::TimedOut},  // not UTF-8: not an answer at all
    };
    for (const auto& [answer, expected] : cases) {
        SCOPED_TRACE("answer: \"" + answer + "\"");
        TempDir root;
        const FileConfirmer confirmer(root.path() / "pending", vault_key(), 5ms);
        ScriptedHuman human(confirmer.dir(), answer);
        EXPECT_EQ(confirmer.confirm(sample_request(), 1500ms), expected);
        EXPECT_EQ(human.finish().size(), 1U);
        EXPECT_TRUE(names_in(confirmer.dir()).empty());
    }
}

// A fixed clock makes the next identifier predictable, so its decision can be
// in place before the request is even written.
// Identifiers are predictable, and another process can have our pid. A
// request or decision file already under the next identifier belongs to that
// process's request: it is neither replaced nor taken as our answer, and the
// request moves on to the identifier after it.
TEST(FileConfirmer, FilesOfAnotherRequestUnderTheNextIdentifierAreNeitherTakenNorReplaced) {
    TempDir root;
    const FixedClock clock(1'700'000'000);
    const auto pending = root.path() / "pending";
    std::uint64_t counter;
    {
        ScriptedHuman human(pending, "denied");
        EXPECT_EQ(FileConfirmer(pending, vault_key(), 5ms, clock).confirm(sample_request(), 1500ms), Decision::Denied);
        const auto seen = human.finish();
        ASSERT_EQ(seen.size(), 1U);
        counter = counter_of(seen[0].id);
    }
    const std::string answered = id_for(clock.unix_secs(), counter + 1);
    const std::string asked = id_for(clock.unix_secs(), counter + 2);
    write_file(pending / (answered + ".decision"), "approved");
    write_file(pending / (asked + ".json"), "theirs");
    {
        ScriptedHuman human(pending, std::string(kGenuine), 1, {asked});
        EXPECT_EQ(FileConfirmer(pending, vault_key(), 5ms, clock).confirm(sample_request(), 1500ms), Decision::Approved);
        const auto seen = human.finish();
        ASSERT_EQ(seen.size(), 1U);
        EXPECT_EQ(seen[0].id, id_for(clock.unix_secs(), counter + 3));
    }
    EXPECT_EQ(read_file(pending / (answered + ".decision")), "approved");
    EXPECT_EQ(read_file(pending / (asked + ".json")), "theirs");
    EXPECT_EQ(names_in(pending), (std::set<std::string>{answered + ".decision", asked + ".json"}));
    // Without a human, the planted approval does not answer a new request.
    EXPECT_EQ(FileConfirmer(pending, vault_key(), 5ms, clock).confirm(sample_request(), 50ms), Decision::TimedOut);
}

TEST(FileConfirmer, NoDecisionTimesOutAndWithdrawsTheRequest) {
    TempDir root;
    const FileConfirmer confirmer(root.path() / "pending", vault_key(), 20ms);
    ScriptedHuman silent(confirmer.dir(), std::nullopt);
    const auto start = Steady::now();
    EXPECT_EQ(confirmer.confirm(sample_request(), 300ms), Decision::TimedOut);
    const auto elapsed = millis_since(start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 2000);
    EXPECT_EQ(silent.finish().size(), 1U);  // it was visible while waiting
    EXPECT_TRUE(names_in(confirmer.dir()).empty());

    const auto zero = FileConfirmer::under_root(root.path() / "other", vault_key());
    const auto again = Steady::now();
    EXPECT_EQ(zero.confirm(sample_request(), 0ms), Decision::TimedOut);
    EXPECT_LT(millis_since(again), 1000);
    EXPECT_EQ(zero.dir(), root.path() / "other" / "pending");
    EXPECT_TRUE(fs::is_directory(zero.dir()));
    EXPECT_TRUE(names_in(zero.dir()).empty());
}

TEST(FileConfirmer, RequestThatCannotBeWrittenIsDeniedAtOnce) {
    TempDir dir;
    const auto root = dir.path() / "root";
    write_file(root, "a regular file, not a directory");
    auto start = Steady::now();
    EXPECT_EQ(FileConfirmer::under_root(root, vault_key()).confirm(sample_request(), 5s), Decision::Denied);
    EXPECT_LT(millis_since(start), 1000);

    const auto confirmer = FileConfirmer::under_root(dir.path(), vault_key());
    start = Steady::now();
    EXPECT_EQ(confirmer.confirm(ConfirmRequest("secret:dev/\xFF", Sensitivity::Low, "dev", Actor::Agent), 5s),
              Decision::Denied);
    EXPECT_LT(millis_since(start), 1000);
    EXPECT_TRUE(names_in(confirmer.dir()).empty());
}

TEST(FileConfirmer, PendingJsonHasEveryFieldInOrderWithAbsentOnesNull) {
    TempDir root;
    const FixedClock clock(1'767'225'600);
    const FileConfirmer confirmer(root.path() / "pending", vault_key(), 5ms, clock);
    ScriptedHuman human(confirmer.dir(), "denied");
    EXPECT_EQ(confirmer.confirm(sample_request(), 1500ms), Decision::Denied);
    const auto seen = human.finish();
    ASSERT_EQ(seen.size(), 1U);
    const auto& id = seen[0].id;
    EXPECT_EQ(id, id_for(clock.unix_secs(), counter_of(id)));
    EXPECT_EQ(without_proof(seen[0].json),
              R"({"id":")" + id + R"(","created_unix":1767225600,"request":{"resolved_command":null,)"
              R"("coordinate":"secret:dev/app/db","sensitivity":"high","environment":"dev","origin":"agent",)"
              R"("requesting_process":null,"requester_description":null,"action":null,"allow_password":false,)"
              R"("run":null},"expires_unix":1767225602,)");
    EXPECT_EQ(seen[0].mode, 0600U);
    EXPECT_EQ(fs::status(confirmer.dir()).permissions(), fs::perms::owner_all);

    auto request = ConfirmRequest("secret:dev/a/b, secret:dev/a/c", Sensitivity::InjectOnly, "dev", Actor::Human)
                       .with_requesting_process("cli \"x\"");
    request.resolved_command = "/usr/bin/env\tdeploy";
    request.requester_description = "é\n";
    request.action = "inject";
    request.allow_password = true;
    request.run = RunDetail{"/usr/bin/env", {"a b", "\x1b[2J"}, "/work dir",
                            {{"MODE", ShownVariable::Source::Literal, "x\"y", std::nullopt},
                             {"HOME_DIR", ShownVariable::Source::Env, "HOME", std::nullopt},
                             {"DB", ShownVariable::Source::Vault, "dev/a/b", Sensitivity::High},
                             {"CFG", ShownVariable::Source::Vault, "dev/none/c", std::nullopt, "/agent/c"}}};
    ScriptedHuman full(confirmer.dir(), std::string(kGenuine));
    EXPECT_EQ(confirmer.confirm(request, 60s), Decision::Approved);
    const auto every = full.finish();
    ASSERT_EQ(every.size(), 1U);
    EXPECT_EQ(without_proof(every[0].json),
              R"({"id":")" + every[0].id + R"(","created_unix":1767225600,"request":{"resolved_command":"/usr/bin/env\tdeploy",)"
              R"("coordinate":"secret:dev/a/b, secret:dev/a/c","sensitivity":"inject-only","environment":"dev",)"
              R"("origin":"human","requesting_process":"cli \"x\"","requester_description":"é\n",)"
              R"("action":"inject","allow_password":true,"run":{"program":"/usr/bin/env","arguments":["a b","\u001B[2J"],)"
              R"("working_directory":"/work dir","variables":[{"name":"MODE","source":"literal","text":"x\"y",)"
              R"("sensitivity":null},{"name":"HOME_DIR","source":"env","text":"HOME","sensitivity":null},)"
              R"({"name":"DB","source":"vault","text":"dev/a/b","sensitivity":"high"},)"
              R"({"name":"CFG","source":"vault","text":"dev/none/c","sensitivity":null,"fallback":"/agent/c"}]}},)"
              R"("expires_unix":1767225660,)");

    // The proof covers every byte before it and verifies with the vault's
    // request key only; the nonce makes two requests' proofs differ.
    const auto request_key = ProofKey::derive(vault_key(), ProofPurpose::Request);
    EXPECT_EQ(check_sealed_object(every[0].json, *request_key).state, SealState::Sealed);
    EXPECT_EQ(check_sealed_object(every[0].json, *ProofKey::derive(key_of(9), ProofPurpose::Request)).state,
              SealState::Broken);
    EXPECT_EQ(check_sealed_object(every[0].json, *ProofKey::derive(vault_key(), ProofPurpose::Answer)).state,
              SealState::Broken);
    EXPECT_NE(nonce_of(seen[0].json), nonce_of(every[0].json));
    EXPECT_EQ(nonce_of(every[0].json).size(), 32U);
}

// Callers build a confirmer per request; identifiers must still never repeat
// within a process and a second, across confirmers and threads alike.
TEST(FileConfirmer, FreshConfirmersInOneSecondNeverShareAnId) {
    TempDir root;
    const FixedClock clock(1'700'000'000);
    const auto pending = root.path() / "pending";
    constexpr std::size_t kThreads = 8;
    ScriptedHuman human(pending, std::string(kGenuine), kThreads * 2);
    const FileConfirmer shared(pending, vault_key(), 2ms, clock);
    std::atomic<int> approved{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            if (FileConfirmer(pending, vault_key(), 2ms, clock).confirm(sample_request(), 3s) == Decision::Approved) ++approved;
            if (shared.confirm(sample_request(), 3s) == Decision::Approved) ++approved;
        });
    }
    for (auto& thread : threads) thread.join();
    const auto seen = human.finish();
    EXPECT_EQ(approved, static_cast<int>(kThreads * 2));
    std::set<std::uint64_t> counters;
    for (const auto& request : seen) {
        EXPECT_EQ(request.id, id_for(clock.unix_secs(), counter_of(request.id)));
        counters.insert(counter_of(request.id));
    }
    ASSERT_EQ(counters.size(), kThreads * 2);
    EXPECT_EQ(*counters.rbegin() - *counters.begin(), kThreads * 2 - 1);  // consecutive values
    EXPECT_TRUE(names_in(pending).empty());
}

TEST(FileConfirmer, LongestTimeoutDoesNotOverflowTheDeadline) {
    TempDir root;
    const FileConfirmer confirmer(root.path() / "pending", vault_key(), 5ms);
    ScriptedHuman human(confirmer.dir(), std::string(kGenuine));
    EXPECT_EQ(confirmer.confirm(sample_request(), std::chrono::milliseconds::max()), Decision::Approved);
}

}  // namespace
}  // namespace tarnel::core
