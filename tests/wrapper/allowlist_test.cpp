// The allowlist gate: which runs an entry admits, and that only a file sealed
// with the vault key admits anything.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "wrapper/allowlist.hpp"

namespace tarnel::wrapper {
namespace {

namespace fs = std::filesystem;
using tarnel::testing::TempDir;
using tarnel::testing::key_of;
using tarnel::testing::read_file;
using tarnel::testing::write_file;

std::string verdict_word(const AllowVerdict& verdict) {
    if (std::holds_alternative<verdict::Admitted>(verdict)) return "admitted";
    if (std::holds_alternative<verdict::NotListed>(verdict)) return "not-listed";
    if (std::holds_alternative<verdict::OtherArguments>(verdict)) return "other-arguments";
    if (const auto* refused = std::get_if<verdict::NotPermitted>(&verdict)) return "not-permitted:" + refused->name;
    return "not-sealed";
}

// An agent that chooses an allowlisted program's arguments or environment
// ran its own code with the values (git aliases, GIT_CONFIG_*, PATH,
// LD_PRELOAD, BASH_ENV): an entry admits only what it names.
TEST(Allowlist, AnEntryAdmitsOnlyItsArgumentsAndItsVariables) {
    const TempDir dir;
    const fs::path git = dir.path() / "git";
    write_file(git, "#!/bin/sh\n");
    fs::create_symlink(git, dir.path() / "link");

    Allowlist allowlist;
    allowlist.allow(AllowEntry{fs::canonical(git), {"status"}, false, {"GIT_DIR"}});
    allowlist.allow(AllowEntry{fs::canonical(git), {"log"}, true, {}});
    // An entry left naming a link (a hand-edited file the owner sealed):
    // repointing the link must not carry the entry to another program.
    fs::create_symlink("/bin/sh", dir.path() / "tool");
    allowlist.allow(AllowEntry{dir.path() / "tool", {}, true, {}});

    struct Case {
        const char* what;
        fs::path program;
        std::vector<std::string> args;
        std::vector<RunVariable> variables;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"exact arguments, through a link", dir.path() / "link", {"status"}, {}, "admitted"},
        {"a prefix and more", git, {"log", "-p", "x"}, {}, "admitted"},
        {"an alias defined on the command line", git, {"-c", "alias.x=!sh", "x"}, {}, "other-arguments"},
        {"more than the exact list", git, {"status", "--porcelain"}, {}, "other-arguments"},
        {"another program", "/bin/sh", {"status"}, {}, "not-listed"},
        {"the target of a link an entry names", "/bin/sh", {}, {}, "not-listed"},
        {"a permitted literal", git, {"status"}, {{"GIT_DIR", false}}, "admitted"},
        {"git configuration from the environment", git, {"status"}, {{"GIT_CONFIG_COUNT", false}},
         "not-permitted:GIT_CONFIG_COUNT"},
        {"PATH as a literal", git, {"log"}, {{"PATH", false}}, "not-permitted:PATH"},
        {"a vault value under an ordinary name", git, {"log"}, {{"DB_PASSWORD", true}}, "admitted"},
        {"a vault value that steers the loader", git, {"log"}, {{"LD_PRELOAD", true}}, "not-permitted:LD_PRELOAD"},
        {"a vault value that steers the shell", git, {"log"}, {{"BASH_ENV", true}}, "not-permitted:BASH_ENV"},
        {"a vault value that moves the configuration", git, {"log"}, {{"HOME", true}}, "not-permitted:HOME"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(verdict_word(allowlist.admits(c.program, c.args, c.variables)), c.expected) << c.what;
    }
}

TEST(Allowlist, OnlyAFileSealedWithTheVaultKeyAdmits) {
    const TempDir root;
    const auto key = key_of(1);
    const std::vector<std::string> args{"-c", "true"};
    const auto verdict_with = [&](const core::MasterKey& opening) {
        return verdict_word(Allowlist::under_root(root.path(), opening).admits("/bin/sh", args, {}));
    };
    EXPECT_EQ(verdict_with(key), "not-listed");  // no file: nothing listed

    ASSERT_TRUE(write_allowlist(root.path(), {AllowEntry{fs::canonical("/bin/sh"), {"-c"}, true, {}}}, key));
    struct stat info {};
    ASSERT_EQ(::stat((root.path() / "allowlist").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
    EXPECT_EQ(verdict_with(key), "admitted");
    EXPECT_EQ(verdict_with(key_of(2)), "not-sealed");

    // An agent widening the sealed entry ("-c" to any arguments).
    std::string text = read_file(root.path() / "allowlist");
    const std::size_t at = text.find("\"arguments\":[\"-c\"]");
    ASSERT_NE(at, std::string::npos);
    write_file(root.path() / "allowlist", text.replace(at, 18, "\"arguments\":[]"));
    EXPECT_EQ(verdict_with(key), "not-sealed");

    // The earlier form, appended to by hand, and a file that is no list.
    write_file(root.path() / "allowlist", "/bin/sh\n");
    EXPECT_EQ(verdict_with(key), "not-sealed");
    write_file(root.path() / "allowlist", "{\"format\":1}");
    EXPECT_EQ(verdict_with(key), "not-sealed");
}

TEST(Allowlist, TheEarlierFormReadsAsEntriesToReview) {
    const TempDir root;
    write_file(root.path() / "allowlist", "# tools\n\n   /bin/sh  \r\n/no/such/tool\n");
    auto contents = read_allowlist(root.path());
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->form, AllowlistContents::Form::Earlier);
    ASSERT_EQ(contents->entries.size(), 2U);
    EXPECT_EQ(contents->entries[0].shown(), fs::canonical("/bin/sh").string() + " -- *");
    EXPECT_EQ(contents->entries[1].shown(), "/no/such/tool -- *");
    EXPECT_FALSE(sealed_by(*contents, key_of(1)));

    write_file(root.path() / "allowlist", "/bin/sh\n\xff\n");
    EXPECT_FALSE(read_allowlist(root.path()));
}

TEST(Allowlist, EntriesShowAsTheOwnerWritesThem) {
    EXPECT_EQ((AllowEntry{"/usr/bin/git", {"log"}, true, {"A", "B"}}.shown()), "/usr/bin/git --env A --env B -- log *");
    EXPECT_EQ((AllowEntry{"/usr/bin/git", {"status"}, false, {}}.shown()), "/usr/bin/git -- status");
    EXPECT_EQ((AllowEntry{"/usr/bin/git", {}, false, {}}.shown()), "/usr/bin/git --");
    EXPECT_TRUE(runs_commands("/usr/bin/python3.12"));
    EXPECT_TRUE(runs_commands("/bin/sh"));
    EXPECT_FALSE(runs_commands("/usr/bin/psql"));
}

}  // namespace
}  // namespace tarnel::wrapper
