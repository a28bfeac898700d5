#include "core/store/atomic_write.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;
namespace fs = std::filesystem;

// A leftover of an earlier run, or a link planted where a temporary could be
// guessed, is neither reused nor followed: the writer's temporary is its own.
TEST(AtomicWrite, PublishesWholePrivateFileAndLeavesNoTemporaryOfItsOwn) {
    TempDir dir;
    const auto path = dir.path() / "x.json";
    write_file(dir.path() / "target", "not to be written");
    // Links where a writer with a predictable temporary name would open it.
    fs::create_symlink(dir.path() / "target", dir.path() / "x.tmp");
    fs::create_symlink(dir.path() / "target", dir.path() / "x.json.tmp");
    ASSERT_TRUE(atomic_write(path, R"({"a":1})"));
    EXPECT_EQ(read_file(path), R"({"a":1})");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(read_file(dir.path() / "target"), "not to be written");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"target", "x.json", "x.json.tmp", "x.tmp"}));
}

TEST(AtomicWrite, ErrorTextsAndNoTemporaryLeftBehind) {
    TempDir dir;
    const auto missing = atomic_write(dir.path() / "absent" / "x.json", "{}");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), CoreError(ErrorKind::Io, "write pending: No such file or directory (os error 2)"));

    fs::create_directories(dir.path() / "taken.json" / "inside");
    const auto taken = atomic_write(dir.path() / "taken.json", "{}");
    ASSERT_FALSE(taken);
    EXPECT_EQ(taken.error().display(), "vault I/O failed: rename pending: Is a directory (os error 21)");
    EXPECT_EQ(names_in(dir.path()), std::set<std::string>{"taken.json"});

    write_file(dir.path() / "plain", "");
    const auto named = atomic_write_as(dir.path() / "plain" / "y.json", "{}", "intake");
    ASSERT_FALSE(named);
    EXPECT_EQ(named.error().detail(), "write intake: Not a directory (os error 20)");
}

}  // namespace
}  // namespace tarnel::core
