#include "core/file_confirm.hpp"

#include <gtest/gtest.h>
#include <rapidjson/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

std::uint64_t counter_of(const std::string& id) { return std::stoull(id.substr(id.rfind('-') + 1)); }

std::string id_for(std::uint64_t secs, std::uint64_t counter) {
    return std::to_string(secs) + '-' + std::to_string(::getpid()) + '-' + std::to_string(counter);
}

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
    ScriptedHuman(fs::path pending, std::optional<std::string> answer, std::size_t requests = 1)
        : pending_(std::move(pending)), answer_(std::move(answer)), requests_(requests),
          thread_([this] { run(); }) {}
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

bool parses_as_json(const std::string& text) {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    rapidjson::StringStream stream(text.c_str());
    return !reader.Parse<rapidjson::kParseValidateEncodingFlag>(stream, handler).IsError();
}

TEST(FileConfirmer, UnderRootPollsPendingEveryQuarterSecond) {
    const auto confirmer = FileConfirmer::under_root("/vault");
    EXPECT_EQ(confirmer.dir(), fs::path("/vault/pending"));
    EXPECT_EQ(confirmer.poll_interval(), 250ms);
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
TEST(FileConfirmer, DecisionAlreadyPresentIsHonouredOnFirstLook) {
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
    write_file(pending / (id_for(clock.unix_secs(), counter + 1) + ".decision"), "approved");
    EXPECT_EQ(FileConfirmer(pending, 10s, clock).confirm(sample_request(), 0ms), Decision::Approved);

    // A second look would have come only after the whole time-out.
    write_file(pending / (id_for(clock.unix_secs(), counter + 2) + ".decision"), "approved");
    const auto start = Steady::now();
    EXPECT_EQ(FileConfirmer(pending, 10s, clock).confirm(sample_request(), 3s), Decision::Approved);
    EXPECT_LT(millis_since(start), 1500);
    EXPECT_TRUE(names_in(pending).empty());
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
}

TEST(FileConfirmer, ZeroTimeoutLooksOnceAndTimesOut) {
    TempDir root;
    const auto confirmer = FileConfirmer::under_root(root.path());
    const auto start = Steady::now();
    EXPECT_EQ(confirmer.confirm(sample_request(), 0ms), Decision::TimedOut);
    EXPECT_LT(millis_since(start), 1000);
    EXPECT_TRUE(fs::is_directory(confirmer.dir()));
    EXPECT_TRUE(names_in(confirmer.dir()).empty());
}

TEST(FileConfirmer, UncreatablePendingDirIsDeniedWithoutWaiting) {
    TempDir dir;
    const auto root = dir.path() / "root";
    write_file(root, "a regular file, not a directory");
    const auto start = Steady::now();
    EXPECT_EQ(FileConfirmer::under_root(root).confirm(sample_request(), 5s), Decision::Denied);
    EXPECT_LT(millis_since(start), 1000);
}

TEST(FileConfirmer, NonUtf8DecisionIsNotHonoured) {
    TempDir root;
    const FileConfirmer confirmer(root.path() / "pending", 5ms);
    ScriptedHuman human(confirmer.dir(), std::string("approved\xFF"));
    EXPECT_EQ(confirmer.confirm(sample_request(), 400ms), Decision::TimedOut);
    EXPECT_EQ(human.finish().size(), 1U);
    EXPECT_TRUE(names_in(confirmer.dir()).empty());
}

TEST(FileConfirmer, PendingJsonWritesAbsentFieldsAsNullInFieldOrder) {
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
    EXPECT_TRUE(parses_as_json(seen[0].json));
    EXPECT_EQ(seen[0].mode, 0600U);
    EXPECT_EQ(fs::status(confirmer.dir()).permissions(), fs::perms::owner_all);
}

TEST(FileConfirmer, PendingJsonWithEveryField) {
    TempDir root;
    const FixedClock clock(7);
    const FileConfirmer confirmer(root.path() / "pending", 5ms, clock);
    auto request = ConfirmRequest("secret:dev/a/b, secret:dev/a/c", Sensitivity::InjectOnly, "dev", Actor::Human)
                       .with_requesting_process("cli \"x\"");
    request.resolved_command = "/usr/bin/env\tdeploy";
    request.requester_description = "é\n";
    request.action = "inject";
    request.allow_password = true;
    ScriptedHuman human(confirmer.dir(), "approved");
    EXPECT_EQ(confirmer.confirm(request, 1500ms), Decision::Approved);
    const auto seen = human.finish();
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].json,
              R"({"id":")" + seen[0].id + R"(","created_unix":7,"request":{"resolved_command":"/usr/bin/env\tdeploy",)"
              R"("coordinate":"secret:dev/a/b, secret:dev/a/c","sensitivity":"inject-only","environment":"dev",)"
              R"("origin":"human","requesting_process":"cli \"x\"","requester_description":"é\n",)"
              R"("action":"inject","allow_password":true}})");
}

TEST(FileConfirmer, UnencodableRequestIsDeniedAtOnce) {
    TempDir root;
    const auto confirmer = FileConfirmer::under_root(root.path());
    const auto start = Steady::now();
    EXPECT_EQ(confirmer.confirm(ConfirmRequest("secret:dev/\xFF", Sensitivity::Low, "dev", Actor::Agent), 5s),
              Decision::Denied);
    EXPECT_LT(millis_since(start), 1000);
    EXPECT_TRUE(names_in(confirmer.dir()).empty());
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

TEST(FileConfirmer, ConsecutiveRequestsFromSeparateConfirmersGetConsecutiveCounters) {
    TempDir root;
    const FixedClock clock(1'700'000'000);
    const auto pending = root.path() / "pending";
    ScriptedHuman human(pending, "denied", 2);
    EXPECT_EQ(FileConfirmer(pending, 2ms, clock).confirm(sample_request(), 1500ms), Decision::Denied);
    EXPECT_EQ(FileConfirmer(pending, 2ms, clock).confirm(sample_request(), 1500ms), Decision::Denied);
    const auto seen = human.finish();
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_NE(seen[0].id, seen[1].id);
    EXPECT_EQ(counter_of(seen[1].id), counter_of(seen[0].id) + 1);
}

TEST(FileConfirmer, LongestTimeoutDoesNotOverflowTheDeadline) {
    TempDir root;
    const FileConfirmer confirmer(root.path() / "pending", 5ms);
    ScriptedHuman human(confirmer.dir(), "approved");
    EXPECT_EQ(confirmer.confirm(sample_request(), std::chrono::milliseconds::max()), Decision::Approved);
}

TEST(AtomicWrite, PublishesWholePrivateFileAndNoTemporary) {
    TempDir dir;
    const auto path = dir.path() / "x.json";
    write_file(dir.path() / "x.tmp", "left over from an earlier run, longer than the new content");
    fs::permissions(dir.path() / "x.tmp", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    ASSERT_TRUE(atomic_write(path, R"({"a":1})"));
    EXPECT_EQ(read_file(path), R"({"a":1})");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"x.json"});
}

TEST(AtomicWrite, ErrorTexts) {
    TempDir dir;
    const auto missing = atomic_write(dir.path() / "absent" / "x.json", "{}");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), CoreError(ErrorKind::Io, "write pending: No such file or directory (os error 2)"));

    fs::create_directories(dir.path() / "taken.json" / "inside");
    const auto taken = atomic_write(dir.path() / "taken.json", "{}");
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().display(), "vault I/O failed: rename pending: Is a directory (os error 21)");

    const auto named = atomic_write_as(dir.path() / "absent" / "y.json", "{}", "intake");
    ASSERT_FALSE(named);
    EXPECT_EQ(named.error().detail(), "write intake: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tarnel::core
