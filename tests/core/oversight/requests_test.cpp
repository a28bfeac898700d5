// The two request directories: confirmations an agent waits on and intakes it
// files, written by the module, read and answered by the owner's side, and
// what another process of the same user can plant beside them.

#include "core/oversight/file_confirm.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <future>

#include "core/oversight/intake.hpp"
#include "core/oversight/intake_inbox.hpp"
#include "core/oversight/pending_confirmation.hpp"
#include "core/oversight/request_file.hpp"
#include "core/store/fs.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

const MasterKey& vault_key() {
    static const MasterKey key = key_of(7);
    return key;
}

// Plays the owner's tool: notices each pending request but those in
// leave_alone, keeps its id, and answers it (kOwnerApproves stands for the
// owner's proof) by renaming a finished decision file into place, so the
// confirmer never sees a half-written one.
class ScriptedHuman {
public:
    ScriptedHuman(fs::path pending, std::string answer, std::set<std::string> leave_alone = {})
        : thread_([this, pending, answer, handled = std::move(leave_alone)](std::stop_token stop) mutable {
              for (const auto give_up = Steady::now() + 10s; !stop.stop_requested() && Steady::now() < give_up;
                   std::this_thread::sleep_for(1ms)) {
                  for (const auto& name : names_in(pending)) {
                      const std::string id = name.substr(0, name.size() - 5);
                      if (!name.ends_with(".json") || !handled.insert(id).second) continue;
                      seen_.push_back(id);
                      const auto staged = pending.parent_path() / ("answer-" + id);
                      write_file(staged, answer == kOwnerApproves
                                             ? owner_approval(read_file(pending / name), vault_key())
                                             : answer);
                      fs::rename(staged, pending / (id + ".decision"));
                  }
              }
          }) {}
    std::vector<std::string> finish() {
        thread_.request_stop();
        if (thread_.joinable()) thread_.join();
        return seen_;
    }

private:
    std::vector<std::string> seen_;
    std::jthread thread_;  // asked to stop and joined first when the human goes
};

ConfirmRequest sample_request() { return ConfirmRequest("secret:dev/app/db", Sensitivity::High, "dev", Actor::Agent); }

// A confirmer waiting on `request` in another thread, and its request as the owner's side lists it.
std::pair<std::future<Decision>, PendingConfirmation> waiting_on(const fs::path& root, const ConfirmRequest& request,
                                                                 std::chrono::milliseconds timeout) {
    auto decision = std::async(std::launch::async,
                               [=] { return FileConfirmer::under_root(root, vault_key()).confirm(request, timeout); });
    std::vector<PendingConfirmation> found;
    for (int tries = 0; tries < 2000 && found.empty(); ++tries, std::this_thread::sleep_for(5ms)) {
        found = PendingDir::under_root(root).list()->requests;
    }
    EXPECT_EQ(found.size(), 1U);
    return {std::move(decision), found.at(0)};
}

// Only an answer carrying the owner's proof for this very request approves; an
// "approved" without it is a forgery, told apart from a plain denial. The
// owner's proof approves in the two tests below; the word "approved" alone is
// tests/python/test_forgery.py's.
TEST(FileConfirmer, OnlyTheOwnersProofForThisRequestApproves) {
    const std::pair<std::string, Decision> cases[] = {
        // The vault's answer key over another request's proof.
        {approval_answer(Proof{}, *ProofKey::derive(vault_key(), ProofPurpose::Answer)), Decision::Forged},
        {"", Decision::Denied},
        {"approved\xFF", Decision::TimedOut},  // not UTF-8: not an answer at all
    };
    for (const auto& [answer, expected] : cases) {
        SCOPED_TRACE("answer: \"" + answer + "\"");
        TempDir root;
        const FileConfirmer confirmer(root.path() / "pending", vault_key(), 5ms);
        ScriptedHuman human(confirmer.dir(), answer);
        // The longest time-out does not overflow the deadline.
        const auto timeout = expected == Decision::TimedOut ? 300ms : std::chrono::milliseconds::max();
        EXPECT_EQ(confirmer.confirm(sample_request(), timeout), expected);
        EXPECT_EQ(human.finish().size(), 1U);
        EXPECT_TRUE(names_in(confirmer.dir()).empty());  // answered or not, the request is withdrawn
    }
    // A request that cannot be written is denied at once.
    TempDir root;
    write_file(root.path() / "file", "a regular file, not a directory");
    EXPECT_EQ(FileConfirmer::under_root(root.path() / "file", vault_key()).confirm(sample_request(), 60s),
              Decision::Denied);
    EXPECT_EQ(FileConfirmer::under_root(root.path(), vault_key())
                  .confirm(ConfirmRequest("dev/\xFF", Sensitivity::Low, "dev", Actor::Agent), 60s),
              Decision::Denied);
}

// Guards: request ids across pid namespaces (another process with our pid owns
// files under our next identifier: they are neither taken nor replaced).
TEST(FileConfirmer, FilesOfAnotherRequestUnderTheNextIdentifierAreNeitherTakenNorReplaced) {
    TempDir root;
    const FixedClock clock(1'700'000'000);
    const auto pending = root.path() / "pending";
    ScriptedHuman first(pending, "denied");
    EXPECT_EQ(FileConfirmer(pending, vault_key(), 5ms, clock).confirm(sample_request(), 1500ms), Decision::Denied);
    const auto seen = first.finish();
    ASSERT_EQ(seen.size(), 1U);
    const std::uint64_t counter = counter_of(seen[0]);
    const std::string answered = id_for(clock.unix_secs(), counter + 1);
    const std::string asked = id_for(clock.unix_secs(), counter + 2);
    write_file(pending / (answered + ".decision"), "approved");
    write_file(pending / (asked + ".json"), "theirs");
    ScriptedHuman human(pending, std::string(kOwnerApproves), {asked});
    EXPECT_EQ(FileConfirmer(pending, vault_key(), 5ms, clock).confirm(sample_request(), 1500ms), Decision::Approved);
    EXPECT_EQ(human.finish(), std::vector<std::string>{id_for(clock.unix_secs(), counter + 3)});
    EXPECT_EQ(read_file(pending / (answered + ".decision")), "approved");
    EXPECT_EQ(read_file(pending / (asked + ".json")), "theirs");
    // Without a human, the planted approval does not answer a new request.
    EXPECT_EQ(FileConfirmer(pending, vault_key(), 5ms, clock).confirm(sample_request(), 50ms), Decision::TimedOut);
}

// Guards: two requests in one second shared an identifier (a counter per
// confirmer, when callers build one per request; intakes draw on the same).
TEST(FileConfirmer, FreshConfirmersInOneSecondNeverShareAnId) {
    TempDir root;
    const FixedClock clock(1'700'000'000);
    const auto pending = root.path() / "pending";
    constexpr std::size_t kThreads = 8;
    ScriptedHuman human(pending, std::string(kOwnerApproves));
    const FileConfirmer shared(pending, vault_key(), 2ms, clock);
    std::atomic<int> approved{0};
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            approved +=
                FileConfirmer(pending, vault_key(), 2ms, clock).confirm(sample_request(), 3s) == Decision::Approved;
            approved += shared.confirm(sample_request(), 3s) == Decision::Approved;
        });
    }
    threads.clear();
    std::set<std::uint64_t> counters;
    for (const auto& id : human.finish()) counters.insert(counter_of(id));
    EXPECT_EQ(approved, static_cast<int>(kThreads * 2));
    ASSERT_EQ(counters.size(), kThreads * 2);
    EXPECT_EQ(*counters.rbegin() - *counters.begin(), kThreads * 2 - 1);  // consecutive values
}

// Every member of a request the owner is shown survives the file (the listing
// and answering are tested through tarnel, tests/python/test_mcp_owner.py).
TEST(PendingDir, ReadsAndAnswersWhatAWaitingConfirmerWroteButNeverReplacesAnAnswer) {
    TempDir root;
    ConfirmRequest request("dev/app/token", Sensitivity::High, "dev", Actor::Agent);
    request.resolved_command = "edit dev/app/token --sensitivity low (downgrade from High)";
    request.requester_description = "rotate \"it\"\n";
    request.allow_password = true;
    request.run = RunDetail{"/usr/bin/env",
                            {"a b", "\x1b[2J"},
                            "/w",
                            {{"CFG", ShownVariable::Source::Vault, "dev/none/c", std::nullopt, "/agent/\"c\""}}};
    auto [waiting, found] = waiting_on(root.path(), request, 60s);
    const auto pending = PendingDir::under_root(root.path());
    EXPECT_EQ(found.request, request);
    const auto seal = found.seal_with(*ProofKey::derive(vault_key(), ProofPurpose::Request));
    ASSERT_EQ(seal.state, SealState::Sealed);
    EXPECT_TRUE(*pending.approve(found.id, seal.mac, *ProofKey::derive(vault_key(), ProofPurpose::Answer)));
    EXPECT_EQ(waiting.get(), Decision::Approved);  // then withdrawn, as in OnlyTheOwnersProofForThisRequestApproves
    // An answer never replaces one already given, and ids are only three numbers.
    const auto id = *RequestId::parse("1-2-3");
    EXPECT_TRUE(*pending.deny(id));
    EXPECT_FALSE(*pending.approve(id, Proof{}, *ProofKey::derive(key_of(3), ProofPurpose::Answer)));
    EXPECT_EQ(read_file(pending.dir() / "1-2-3.decision"), "denied\n");
    EXPECT_EQ(mode_of(pending.dir() / "1-2-3.decision"), 0600u);
    EXPECT_TRUE(RequestId::parse("18446744073709551615-1-1"));
    for (const char* bad : {"", "1-2", "1-2-3-4", "1--2", "../1-2-3", "1-2-3.json", "123456789012345678901-1-1"}) {
        EXPECT_FALSE(RequestId::parse(bad)) << bad;
    }
}

void age(const fs::path& path) {
    const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 60, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Guards: requests of a server that died stayed in pending/ for ever. The
// next confirmer removes a request only when it is settled and nobody holds
// it: never one whose requester still waits, however old, nor one just
// published, nor a file that is not a request.
TEST(PendingDir, TheNextConfirmerRemovesOnlyRequestsNobodyWaitsFor) {
    TempDir root;
    const auto pending = PendingDir::under_root(root.path());
    auto [waiting, found] = waiting_on(root.path(), sample_request(), 30s);
    const std::string live = found.id.text();
    auto copy_as = [&](const std::string& id) {
        std::string text = found.text;
        text.replace(text.find(live), live.size(), id);
        write_file(pending.dir() / (id + ".json"), text);
    };
    copy_as("1-1-1");
    write_file(pending.dir() / "1-1-1.decision", "denied\n");
    copy_as("1-1-2");
    write_file(pending.dir() / "1-1-3.json", "{}");
    for (const char* name : {"1-1-1.json", "1-1-3.json"}) age(pending.dir() / name);
    age(pending.dir() / (live + ".json"));

    EXPECT_EQ(FileConfirmer::under_root(root.path(), vault_key()).confirm(sample_request(), 0ms), Decision::TimedOut);
    EXPECT_EQ(names_in(pending.dir()), (std::set<std::string>{live + ".json", "1-1-2.json", "1-1-3.json"}));
    ASSERT_TRUE(*pending.deny(found.id));
    EXPECT_EQ(waiting.get(), Decision::Denied);
}

PendingIntake sample_intake() { return PendingIntake("secret:dev/app/db", Sensitivity::High, "dev", Actor::Agent); }

TEST(IntakeBroker, WritesAPrivateFileTheInboxReadsBack) {
    TempDir root;
    const FixedClock clock(1'767'225'600);
    const auto broker = IntakeBroker::under_root(root.path(), clock);
    const auto stored = broker.create(sample_intake().with_description("the \u00e9 \"db\"\n").with_project("web"));
    ASSERT_TRUE(stored) << stored.error().display();
    EXPECT_EQ(mode_of(broker.dir()), 0700U);
    EXPECT_EQ(mode_of(broker.dir() / (stored->id + ".json")), 0600U);
    const auto inbox = IntakeInbox::under_root(root.path());
    const auto id = *RequestId::parse(stored->id);
    EXPECT_EQ(inbox.find(id)->value_or(sample_intake()), *stored);
    EXPECT_TRUE(*inbox.remove(id));  // rejecting is tested through tarnel (tests/python/test_mcp_owner.py)
    // Guards: planted links (an intake directory that is a link is not entered).
    TempDir linked;
    fs::create_directory_symlink(broker.dir(), linked.path() / "intake");
    EXPECT_FALSE(IntakeBroker::under_root(linked.path()).create(sample_intake()));
    // Guards: request ids across pid namespaces (the next identifier is taken: this one takes the one after).
    const std::string taken = id_for(clock.unix_secs(), counter_of(stored->id) + 1);
    write_file(broker.dir() / (taken + ".json"), "theirs");
    EXPECT_EQ(broker.create(sample_intake())->id, id_for(clock.unix_secs(), counter_of(stored->id) + 2));
    EXPECT_EQ(read_file(broker.dir() / (taken + ".json")), "theirs");
}

// A valid intake body for the identifier, with `extra` spliced in at the end.
std::string intake_json(const std::string& id, const std::string& extra = "") {
    return R"({"id":")" + id +
           R"(","created_unix":5,"coordinate":"secret:dev/app/db","sensitivity":"high",)"
           R"("environment":"dev","origin":"agent","requesting_process":null,"description":null,"project":null)" +
           extra + "}";
}

// Guards: planted links, FIFOs, special and oversized request files.
TEST(IntakeInbox, PlantedFilesAreListedApartAndHideNoOther) {
    TempDir root;
    const auto dir = root.path() / "intake";
    fs::create_directories(dir);
    write_file(dir / "1-1-0.json", intake_json("1-1-0"));
    write_file(dir / "1-1-1.json", intake_json("1-1-9"));                          // someone else's id
    write_file(dir / "1-1-2.json", intake_json("1-1-2", R"(,"project":"evil")"));  // duplicate member
    write_file(dir / "1-1-4.json", std::string(kMaxRequestFileBytes + 1, ' '));
    ASSERT_EQ(::mkfifo((dir / "1-1-5.json").c_str(), 0600), 0);
    fs::create_symlink(dir / "1-1-0.json", dir / "1-1-6.json");
    write_file(dir / "1-1-7.json", std::string(100000, '[') + std::string(100000, ']'));
    auto listed = IntakeInbox::under_root(root.path()).list();
    ASSERT_TRUE(listed) << listed.error().display();
    ASSERT_EQ(listed->requests.size(), 1u);
    EXPECT_EQ(listed->requests.front().id, "1-1-0");
    std::set<std::string> bad;
    for (const auto& entry : listed->unreadable) bad.insert(entry.id + ": " + entry.reason);
    EXPECT_EQ(bad, (std::set<std::string>{
                       "1-1-1: format error: `id` is not the file's name",
                       "1-1-2: format error: duplicate member `project`",
                       "1-1-4: format error: larger than 1048576 bytes",
                       "1-1-5: format error: not a regular file",
                       "1-1-6: format error: not a regular file",
                       "1-1-7: format error: not a JSON object",
                   }));
}

}  // namespace
}  // namespace tarnel::core
