// Editing the allowlist file: what the reader sees afterwards, and what the
// editor must leave alone.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_support.hpp"
#include "wrapper/allowlist.hpp"

namespace tarnel::wrapper {
namespace {

namespace fs = std::filesystem;
using tarnel::testing::TempDir;
using tarnel::testing::read_file;
using tarnel::testing::write_file;

AllowlistFile loaded(const fs::path& root) {
    auto file = AllowlistFile::load(root);
    if (!file) throw std::runtime_error(file.error().display());
    return std::move(*file);
}

TEST(AllowlistFile, AddsCanonicalPathsKeepsCommentsAndTheReaderAgrees) {
    const TempDir root;
    const fs::path program = root.path() / "tool";
    write_file(program, "#!/bin/sh\n");
    fs::create_symlink(program, root.path() / "link");
    write_file(root.path() / "allowlist", "# trusted tools\n\n/usr/bin/env\n");

    AllowlistFile file = loaded(root.path());
    auto added = file.add(root.path() / "link");
    ASSERT_TRUE(added && *added);
    auto again = file.add(program);
    ASSERT_TRUE(again);
    EXPECT_FALSE(*again);
    ASSERT_TRUE(file.save());

    const std::string canonical = fs::canonical(program).string();
    EXPECT_EQ(read_file(root.path() / "allowlist"), "# trusted tools\n\n/usr/bin/env\n" + canonical + "\n");
    struct stat info {};
    ASSERT_EQ(::stat((root.path() / "allowlist").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600U);
    EXPECT_TRUE(Allowlist::under_root(root.path()).allows(root.path() / "link"));

    EXPECT_FALSE(file.add(root.path() / "missing"));
}

TEST(AllowlistFile, RemovesByAnyPathToTheProgramAndKeepsTheRest) {
    const TempDir root;
    const fs::path program = root.path() / "tool";
    write_file(program, "#!/bin/sh\n");
    fs::create_symlink(program, root.path() / "link");
    write_file(root.path() / "allowlist",
               "# keep me\n" + fs::canonical(program).string() + "\r\n  /gone/program  \n/usr/bin/env\n");

    AllowlistFile file = loaded(root.path());
    EXPECT_TRUE(file.remove(root.path() / "link"));
    EXPECT_TRUE(file.remove("/gone/program"));
    EXPECT_FALSE(file.remove("/not/listed"));
    EXPECT_EQ(file.paths(), std::vector<std::string>{"/usr/bin/env"});
    ASSERT_TRUE(file.save());
    EXPECT_EQ(read_file(root.path() / "allowlist"), "# keep me\n/usr/bin/env\n");
}

TEST(AllowlistFile, AnUnreadableFileIsRefusedNotRewritten) {
    const TempDir root;
    write_file(root.path() / "allowlist", "/usr/bin/env\n\xff\n");
    EXPECT_FALSE(AllowlistFile::load(root.path()));
    fs::remove(root.path() / "allowlist");
    fs::create_directory(root.path() / "allowlist");
    EXPECT_FALSE(AllowlistFile::load(root.path()));
    EXPECT_TRUE(loaded(root.path() / "elsewhere").paths().empty());
}

}  // namespace
}  // namespace tarnel::wrapper

namespace tarnel::wrapper {
namespace {

// Another process may plant something under the name: the reader neither
// follows a link, nor waits on a FIFO, nor reads what is not UTF-8 text.
TEST(AllowlistReader, AFileItCannotTrustAllowsNothing) {
    const TempDir root;
    const fs::path list = root.path() / "allowlist";
    write_file(root.path() / "elsewhere", "/usr/bin/env\n");
    EXPECT_TRUE(Allowlist::under_root(root.path()).empty());  // absent

    fs::create_symlink(root.path() / "elsewhere", list);
    EXPECT_TRUE(Allowlist::under_root(root.path()).empty());
    fs::remove(list);

    ASSERT_EQ(::mkfifo(list.c_str(), 0600), 0);
    EXPECT_TRUE(Allowlist::under_root(root.path()).empty());
    fs::remove(list);

    write_file(list, "/usr/bin/env\n\xff\n");
    EXPECT_TRUE(Allowlist::under_root(root.path()).empty());

    write_file(list, "/usr/bin/env\n");
    EXPECT_TRUE(Allowlist::under_root(root.path()).allows("/usr/bin/env"));
}

}  // namespace
}  // namespace tarnel::wrapper
