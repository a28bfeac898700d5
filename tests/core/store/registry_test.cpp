#include "core/store/registry.hpp"


#include <cstdlib>

#include "core/keys/crypto.hpp"
#include "core/store/store.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

namespace fs = std::filesystem;

using namespace tarnel::testing;

// Every path under the root, to show that an operation touched nothing.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) paths.insert(entry.path().string());
    return paths;
}

class RegistryTest : public ::testing::Test {
protected:
    Registry open_registry() {
        Result<Registry> registry = Registry::open(base_ / "root");
        EXPECT_TRUE(registry) << registry.error().display();
        return std::move(*registry);
    }

    void put(const fs::path& dir, const Coordinate& at, std::string_view value) {
        Result<SealedRecord> sealed = seal(literal(at, value), key_);
        ASSERT_TRUE(sealed);
        ASSERT_TRUE(write_record(dir, at, *sealed));
    }

    tarnel::testing::TempDir temp_;
    fs::path base_ = temp_.path();
    MasterKey key_ = key_of(0x42);
};

TEST_F(RegistryTest, OpenCreatesThePrivateLayout) {
    const Registry registry = open_registry();
    EXPECT_EQ(registry.global_dir(), base_ / "root" / "global");
    EXPECT_EQ(registry.projects_root(), base_ / "root" / "projects");
    EXPECT_EQ(registry.project_dir("p"), base_ / "root" / "projects" / "p");
    EXPECT_EQ(mode_of(registry.global_dir()), 0700U);
    EXPECT_EQ(mode_of(registry.projects_root()), 0700U);
    EXPECT_FALSE(fs::exists(registry.project_dir("p")));  // path operations touch nothing
    EXPECT_TRUE(Registry::open(base_ / "root"));           // opening again is fine

    std::ofstream(base_ / "file") << "x";
    Result<Registry> blocked = Registry::open(base_ / "file");
    ASSERT_FALSE(blocked);
    EXPECT_EQ(blocked.error().display(),
              "vault I/O failed: create \"" + (base_ / "file" / "global").string() + "\": Not a directory (os error 20)");
}

TEST_F(RegistryTest, DefaultRootComesFromHome) {
    const char* saved = std::getenv("HOME");
    const std::string previous = saved != nullptr ? saved : "";
    ::setenv("HOME", "/home/u", 1);
    Result<fs::path> root = Registry::default_root();
    ASSERT_TRUE(root);
    EXPECT_EQ(*root, fs::path("/home/u/.vaults"));
    ::unsetenv("HOME");
    Result<fs::path> none = Registry::default_root();
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().display(), "vault I/O failed: no home directory ($HOME) set");
    if (saved != nullptr) ::setenv("HOME", previous.c_str(), 1);
}

TEST_F(RegistryTest, ListProjectsKeepsRealDirectoriesInByteOrder) {
    const Registry registry = open_registry();
    const fs::path projects = registry.projects_root();
    fs::create_directory(projects / "b");
    fs::create_directory(projects / "a");
    fs::create_directory(projects / "B");
    std::ofstream(projects / "c") << "file";
    fs::create_directory_symlink(projects / "a", projects / "d");
    fs::create_directory(projects / std::string("bad\xff"));
    Result<std::vector<std::string>> names = registry.list_projects();
    ASSERT_TRUE(names) << names.error().display();
    EXPECT_EQ(*names, (std::vector<std::string>{"B", "a", "b"}));

    fs::remove_all(projects);
    Result<std::vector<std::string>> none = registry.list_projects();
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST_F(RegistryTest, ProjectShadowsGlobalAndTheGlobalFormReadsGlobal) {
    const Registry registry = open_registry();
    const Coordinate plain = coordinate("secret:dev/app/db");
    const Coordinate global_form = coordinate("secret://global/dev/app/db");
    put(registry.global_dir(), plain, "global value");
    put(*registry.checked_project_dir("p"), plain, "project value");

    Result<std::optional<ResolvedRecord>> in_project = registry.resolve_with_key(plain, "p", key_);
    ASSERT_TRUE(in_project && *in_project);
    EXPECT_EQ(literal_value((*in_project)->record), "project value");
    EXPECT_EQ((*in_project)->location, VaultLocation(ProjectVault{"p"}));

    Result<std::optional<ResolvedRecord>> forced = registry.resolve_with_key(global_form, "p", key_);
    ASSERT_TRUE(forced && *forced);
    EXPECT_EQ(literal_value((*forced)->record), "global value");
    EXPECT_EQ((*forced)->location, VaultLocation(GlobalVault{}));

    Result<std::optional<ResolvedRecord>> other = registry.resolve_with_key(plain, "q", key_);
    ASSERT_TRUE(other && *other);
    EXPECT_EQ(literal_value((*other)->record), "global value");
    EXPECT_FALSE(fs::exists(registry.project_dir("q")));

    Result<std::optional<ResolvedRecord>> no_project = registry.resolve_with_key(plain, std::nullopt, key_);
    ASSERT_TRUE(no_project && *no_project);
    EXPECT_EQ((*no_project)->location, VaultLocation(GlobalVault{}));

    Result<std::optional<ResolvedRecord>> found = registry.resolve_with_key(coordinate("secret:dev/app/none"), "p", key_);
    ASSERT_TRUE(found);
    EXPECT_FALSE(*found);
}

TEST_F(RegistryTest, DamagedProjectRecordIsAnErrorWithoutFallThrough) {
    const Registry registry = open_registry();
    const Coordinate at = coordinate("secret:dev/app/db");
    put(registry.global_dir(), at, "global value");
    const fs::path project = *registry.checked_project_dir("p");
    put(project, at, "project value");
    std::ofstream(*record_path(project, at), std::ios::trunc) << "TARN";
    Result<std::optional<ResolvedRecord>> found = registry.resolve_with_key(at, "p", key_);
    ASSERT_FALSE(found);
    EXPECT_EQ(found.error().display(), "record serialization failed: not a tarnel record frame");

    Result<std::optional<ResolvedRecord>> placeholder = registry.resolve_with_key(coordinate("secret:${ENV}/app/db"), "p", key_);
    ASSERT_FALSE(placeholder);
    EXPECT_EQ(placeholder.error().kind(), ErrorKind::NotStorable);
}

TEST_F(RegistryTest, ProjectNamesThatLeaveProjectsAreRefusedBeforeTouchingFiles) {
    const Registry registry = open_registry();
    const Coordinate at = coordinate("secret:dev/app/db");
    // A record the root itself would hold if "projects/.." were followed.
    put(base_ / "root", at, "outside");
    put(registry.global_dir(), at, "global value");
    const std::set<std::string> before = tree(base_);

    const std::string bad_names[] = {"", ".", "..", "a/b", "/etc", "../global", "p/", std::string("a\0b", 3)};
    for (const std::string& name : bad_names) {
        Result<fs::path> dir = registry.checked_project_dir(name);
        ASSERT_FALSE(dir) << name;
        EXPECT_EQ(dir.error().kind(), ErrorKind::Io);
        EXPECT_NE(dir.error().display().find("a project name must be a single path component"), std::string::npos);

        for (const Coordinate& form : {at, coordinate("secret://global/dev/app/db")}) {
            Result<std::optional<ResolvedRecord>> found = registry.resolve_with_key(form, name, key_);
            ASSERT_FALSE(found) << name;
            EXPECT_EQ(found.error().display(), dir.error().display());
        }
    }
    EXPECT_EQ(registry.checked_project_dir("..").error().display(),
              "vault I/O failed: invalid project name `..`: a project name must be a single path component "
              "(not empty, `.` or `..`, no `/` or NUL)");
    EXPECT_EQ(tree(base_), before);

    for (const std::string_view good : {"...", "my project", ".hidden", "p.sec"}) {
        EXPECT_TRUE(registry.checked_project_dir(good)) << good;
    }
}

}  // namespace
}  // namespace tarnel::core
