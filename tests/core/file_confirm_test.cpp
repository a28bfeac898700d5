#include "core/file_confirm.hpp"

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
                    write_file(staged, *answer_);
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

ConfirmRequest sample_request() {
    return ConfirmRequest("secret:dev/app/db", Sensitivity::High, "dev", Actor::Agent);
}

TEST(FileConfirmer, OnlyTrimmedApprovedApproves) {
    const std::pair<std::string, Decision> cases[] = {
        {"approved\n", Decision::Approved},
        {"  approved  ", Decision::Approved},
        {"\t\xC2\xA0" "approved\xE3\x80\x80\r\n", Decision::Approved},  // Unicode white space too
        {"APPROVED", Decision::Denied},
        {"denied", Decision::Denied},
        {"", Decision::Denied},
        {"approved please", Decision::Denied},
        {"approved\xFF", Decision::TimedOut},  // not UTF-8: not an answer at all
    };
    for (const auto& [answer, expected] : cases) {
        SCOPED_TRACE("answer: \"" + answer + "\"");
        TempDir root;
        const FileConfirmer confirmer(root.path() / "pending", 5ms);
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
        EXPECT_EQ(FileConfirmer(pending, 5ms, clock).confirm(sample_request(), 1500ms), Decision::Denied);
        const auto seen = human.finish();
        ASSERT_EQ(seen.size(), 1U);
        counter = counter_of(seen[0].id);
    }
    const std::string answered = id_for(clock.unix_secs(), counter + 1);
    const std::string asked = id_for(clock.unix_secs(), counter + 2);
    write_file(pending / (answered + ".decision"), "approved");
    write_file(pending / (asked + ".json"), "theirs");
    {
        ScriptedHuman human(pending, "approved", 1, {asked});
        EXPECT_EQ(FileConfirmer(pending, 5ms, clock).confirm(sample_request(), 1500ms), Decision::Approved);
        const auto seen = human.finish();
        ASSERT_EQ(seen.size(), 1U);
        EXPECT_EQ(seen[0].id, id_for(clock.unix_secs(), counter + 3));
    }
    EXPECT_EQ(read_file(pending / (answered + ".decision")), "approved");
    EXPECT_EQ(read_file(pending / (asked + ".json")), "theirs");
    EXPECT_EQ(names_in(pending), (std::set<std::string>{answered + ".decision", asked + ".json"}));
    // Without a human, the planted approval does not answer a new request.
    EXPECT_EQ(FileConfirmer(pending, 5ms, clock).confirm(sample_request(), 50ms), Decision::TimedOut);
}

TEST(FileConfirmer, NoDecisionTimesOutAndWithdrawsTheRequest) {
    TempDir root;
    const FileConfirmer confirmer(root.path() / "pending", 20ms);
    ScriptedHuman silent(confirmer.dir(), std::nullopt);
    const auto start = Steady::now();
    EXPECT_EQ(confirmer.confirm(sample_request(), 300ms), Decision::TimedOut);
    const auto elapsed = millis_since(start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 2000);
    EXPECT_EQ(silent.finish().size(), 1U);  // it was visible while waiting
    EXPECT_TRUE(names_in(confirmer.dir()).empty());

    const auto zero = FileConfirmer::under_root(root.path() / "other");
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
    EXPECT_EQ(FileConfirmer::under_root(root).confirm(sample_request(), 5s), Decision::Denied);
    EXPECT_LT(millis_since(start), 1000);

    const auto confirmer = FileConfirmer::under_root(dir.path());
    start = Steady::now();
    EXPECT_EQ(confirmer.confirm(ConfirmRequest("secret:dev/\xFF", Sensitivity::Low, "dev", Actor::Agent), 5s),
              Decision::Denied);
    EXPECT_LT(millis_since(start), 1000);
    EXPECT_TRUE(names_in(confirmer.dir()).empty());
}

TEST(FileConfirmer, PendingJsonHasEveryFieldInOrderWithAbsentOnesNull) {
    TempDir root;
    const FixedClock clock(1'767'225'600);
    const FileConfirmer confirmer(root.path() / "pending", 5ms, clock);
    ScriptedHuman human(confirmer.dir(), "denied");
    EXPECT_EQ(confirmer.confirm(sample_request(), 1500ms), Decision::Denied);
    const auto seen = human.finish();
    ASSERT_EQ(seen.size(), 1U);
    const auto& id = seen[0].id;
    EXPECT_EQ(id, id_for(clock.unix_secs(), counter_of(id)));
    EXPECT_EQ(seen[0].json,
              R"({"id":")" + id + R"(","created_unix":1767225600,"request":{"resolved_command":null,)"
              R"("coordinate":"secret:dev/app/db","sensitivity":"high","environment":"dev","origin":"agent",)"
              R"("requesting_process":null,"requester_description":null,"action":null,"allow_password":false}})");
    EXPECT_EQ(seen[0].mode, 0600U);
    EXPECT_EQ(fs::status(confirmer.dir()).permissions(), fs::perms::owner_all);

    auto request = ConfirmRequest("secret:dev/a/b, secret:dev/a/c", Sensitivity::InjectOnly, "dev", Actor::Human)
                       .with_requesting_process("cli \"x\"");
    request.resolved_command = "/usr/bin/env\tdeploy";
    request.requester_description = "é\n";
    request.action = "inject";
    request.allow_password = true;
    ScriptedHuman full(confirmer.dir(), "approved");
    EXPECT_EQ(confirmer.confirm(request, 1500ms), Decision::Approved);
    const auto every = full.finish();
    ASSERT_EQ(every.size(), 1U);
    EXPECT_EQ(every[0].json,
              R"({"id":")" + every[0].id + R"(","created_unix":1767225600,"request":{"resolved_command":"/usr/bin/env\tdeploy",)"
              R"("coordinate":"secret:dev/a/b, secret:dev/a/c","sensitivity":"inject-only","environment":"dev",)"
              R"("origin":"human","requesting_process":"cli \"x\"","requester_description":"é\n",)"
              R"("action":"inject","allow_password":true}})");
}

// Callers build a confirmer per request; identifiers must still never repeat
// within a process and a second, across confirmers and threads alike.
TEST(FileConfirmer, FreshConfirmersInOneSecondNeverShareAnId) {
    TempDir root;
    const FixedClock clock(1'700'000'000);
    const auto pending = root.path() / "pending";
    constexpr std::size_t kThreads = 8;
    ScriptedHuman human(pending, "approved", kThreads * 2);
    const FileConfirmer shared(pending, 2ms, clock);
    std::atomic<int> approved{0};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            if (FileConfirmer(pending, 2ms, clock).confirm(sample_request(), 3s) == Decision::Approved) ++approved;
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
    const FileConfirmer confirmer(root.path() / "pending", 5ms);
    ScriptedHuman human(confirmer.dir(), "approved");
    EXPECT_EQ(confirmer.confirm(sample_request(), std::chrono::milliseconds::max()), Decision::Approved);
}

}  // namespace
}  // namespace tarnel::core
