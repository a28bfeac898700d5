#include "core/oversight/intake.hpp"

#include <chrono>
#include <thread>
#include <vector>

#include "core/oversight/file_confirm.hpp"
#include "core/store/fs.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

PendingIntake sample_intake() { return PendingIntake("secret:dev/app/db", Sensitivity::High, "dev", Actor::Agent); }

TEST(IntakeBroker, FirstIntakeCreatesPrivateDirWithOneFile) {
    TempDir root;
    const FixedClock clock(1'767'225'600);
    const IntakeBroker broker(root.path() / "intake", clock);
    const auto stored = broker.create(sample_intake());
    ASSERT_TRUE(stored) << stored.error().display();
    EXPECT_EQ(stored->id, id_for(clock.unix_secs(), counter_of(stored->id)));
    EXPECT_EQ(stored->created_unix, clock.unix_secs());
    EXPECT_EQ(stored->coordinate, "secret:dev/app/db");

    EXPECT_EQ(fs::status(broker.dir()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(names_in(broker.dir()), std::set<std::string>{stored->id + ".json"});
    const auto file = broker.dir() / (stored->id + ".json");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    const auto json = read_file(file);
    EXPECT_EQ(json, R"({"id":")" + stored->id + R"(","created_unix":1767225600,"coordinate":"secret:dev/app/db",)"
                    R"("sensitivity":"high","environment":"dev","origin":"agent",)"
                    R"("requesting_process":null,"description":null,"project":null})");
}

TEST(IntakeBroker, ReturnedRecordMatchesTheFileOnTheRealClock) {
    TempDir root;
    const auto broker = IntakeBroker::under_root(root.path());
    EXPECT_EQ(broker.dir(), root.path() / "intake");
    const auto stored = broker.create(sample_intake().with_project("alpha"));
    ASSERT_TRUE(stored);
    const auto json = read_file(broker.dir() / (stored->id + ".json"));
    EXPECT_TRUE(json.starts_with(R"({"id":")" + stored->id + R"(","created_unix":)" +
                                 std::to_string(stored->created_unix) + ",")) << json;
    EXPECT_TRUE(json.ends_with(R"("project":"alpha"})")) << json;
    EXPECT_GT(stored->created_unix, 1'700'000'000U);
}

TEST(IntakeBroker, CoordinateAsWrittenEmptyDescriptionAndEmptyProject) {
    TempDir root;
    const FixedClock clock(5);
    const IntakeBroker broker(root.path() / "intake", clock);
    const auto stored = broker.create(PendingIntake("secret:${ENV}/app/\"db\"#frag", Sensitivity::InjectOnly,
                                                    "staging", Actor::Human)
                                          .with_description("")
                                          .with_requesting_process("cli")
                                          .with_project(""));
    ASSERT_TRUE(stored);
    EXPECT_EQ(read_file(broker.dir() / (stored->id + ".json")),
              R"({"id":")" + stored->id + R"(","created_unix":5,"coordinate":"secret:${ENV}/app/\"db\"#frag",)"
              R"("sensitivity":"inject-only","environment":"staging","origin":"human",)"
              R"("requesting_process":"cli","description":"","project":null})");
}

// Callers build a broker per request, so the counter must live beyond any one broker.
TEST(IntakeBroker, FreshBrokersInOneSecondGetConsecutiveCountersApartFromConfirmations) {
    TempDir root;
    const FixedClock clock(1'700'000'000);
    const auto dir = root.path() / "intake";
    const auto first = IntakeBroker(dir, clock).create(sample_intake());
    const auto second = IntakeBroker(dir, clock).create(sample_intake());
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->id, second->id);
    EXPECT_EQ(second->id, id_for(clock.unix_secs(), counter_of(first->id) + 1));

    // Confirmations draw from their own counter.
    EXPECT_EQ(FileConfirmer(root.path() / "pending", key_of(1), 1ms, clock)
                  .confirm(ConfirmRequest("c", Sensitivity::Low, "dev", Actor::Agent), 0ms),
              Decision::TimedOut);
    const auto third = IntakeBroker(dir, clock).create(sample_intake());
    ASSERT_TRUE(third);
    EXPECT_EQ(counter_of(third->id), counter_of(first->id) + 2);
    EXPECT_EQ(names_in(dir).size(), 3U);
}

TEST(IntakeBroker, ConcurrentFreshBrokersNeverReplaceAnIntake) {
    TempDir root;
    const FixedClock clock(1'700'000'000);
    const auto dir = root.path() / "intake";
    constexpr int kThreads = 8;
    constexpr int kPerThread = 25;
    std::vector<std::vector<std::string>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const auto stored = IntakeBroker(dir, clock).create(sample_intake());
                ids[t].push_back(stored ? stored->id : "failed: " + stored.error().display());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::string> unique;
    for (const auto& of_thread : ids) unique.insert(of_thread.begin(), of_thread.end());
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kPerThread));
    std::set<std::string> expected_files;
    for (const auto& id : unique) expected_files.insert(id + ".json");
    EXPECT_EQ(names_in(dir), expected_files);
}

TEST(IntakeBroker, ErrorTexts) {
    TempDir root;
    const auto file_root = root.path() / "file";
    std::ofstream(file_root) << "not a directory";
    const auto blocked = IntakeBroker::under_root(file_root).create(sample_intake());
    ASSERT_FALSE(blocked);
    const auto made = ensure_dir(file_root / "intake");
    ASSERT_FALSE(made);
    EXPECT_EQ(blocked.error(), made.error());

    const FixedClock clock(42);
    const IntakeBroker broker(root.path() / "intake", clock);
    const auto bad_text = broker.create(PendingIntake("secret:dev/\xFF", Sensitivity::Low, "dev", Actor::Agent));
    ASSERT_FALSE(bad_text);
    EXPECT_EQ(bad_text.error().kind(), ErrorKind::Io);
    EXPECT_TRUE(bad_text.error().detail().starts_with("serialize intake: ")) << bad_text.error().detail();

    // With the clock fixed the next identifiers are known, so their names can be blocked.
    const auto seed = broker.create(sample_intake());
    ASSERT_TRUE(seed);
    const auto next = counter_of(seed->id) + 1;
    const IntakeBroker misplaced(root.path() / "a-file" / "intake", clock);
    write_file(root.path() / "a-file", "");
    const auto unwritable = misplaced.create(sample_intake());
    ASSERT_FALSE(unwritable);
    EXPECT_EQ(unwritable.error().display(), "vault I/O failed: create \"" + (root.path() / "a-file" / "intake").string() +
                                                "\": Not a directory (os error 20)");

    // Another process with our pid (a container sharing the vault) holds the
    // next identifier: its request stays, and this one takes the one after.
    const std::string taken = id_for(42, next);
    write_file(broker.dir() / (taken + ".json"), "theirs");
    const auto moved_on = broker.create(sample_intake());
    ASSERT_TRUE(moved_on) << moved_on.error().display();
    EXPECT_EQ(moved_on->id, id_for(42, next + 1));
    EXPECT_EQ(read_file(broker.dir() / (taken + ".json")), "theirs");
}

}  // namespace
}  // namespace tarnel::core
