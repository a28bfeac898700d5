// Record files and the registry of vaults: frame, modes, backup and listing,
// many writers at once, and what another process of the same user can plant in
// the vault. Python's own cryptography reads and writes these files in
// tests/python (vaultkit.py), and codec_test fixes the members they hold.

#include "core/store/store.hpp"

#include <fcntl.h>

#include "core/core_support.hpp"
#include "core/keys/crypto.hpp"
#include "core/store/atomic_write.hpp"
#include "core/store/registry.hpp"
#include "core/store/temp_file.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

std::string shown(const Result<std::optional<SecretRecord>>& read) {
    return read ? (*read ? literal_value(**read) : "<absent>") : read.error().display();
}

class Store : public ::testing::Test {
protected:
    Result<void> put(std::string_view value, const Coordinate& at, const MasterKey& key, const fs::path& dir) {
        return write_record(dir, at, *seal(literal(at, value), key));
    }
    Result<void> put(std::string_view value) { return put(value, at_, key_, vault_); }
    std::string read() { return shown(read_record(vault_, at_, key_)); }
    fs::path file() const { return *record_path(vault_, at_); }

    TempDir dir_;
    fs::path root_ = dir_.path();
    fs::path vault_ = root_ / "a" / "vault";
    MasterKey key_ = key_of(1);
    Coordinate at_ = coordinate("secret:dev/app/token");
    std::string id_ = *at_.storage_id();
};

TEST_F(Store, WritesRecordsPrivatelyKeepsOneBackupAndListsOnlyRecordFiles) {
    ASSERT_TRUE(put("first"));
    EXPECT_EQ(mode_of(vault_), 0700U);
    EXPECT_EQ(mode_of(file()), 0600U);
    ::chmod(vault_.c_str(), 0750);  // a directory that exists keeps its mode
    ASSERT_TRUE(put("second"));
    ASSERT_TRUE(put("third"));
    EXPECT_EQ(mode_of(vault_), 0750U);
    EXPECT_EQ(read(), "third");
    EXPECT_EQ(literal_value(*open_sealed(*unframe(bytes_of(read_file(vault_ / (id_ + ".sec.bak")))), key_)), "second");
    ASSERT_TRUE(delete_record(vault_, at_));
    EXPECT_EQ(names_in(vault_), std::set<std::string>{id_ + ".sec.bak"});
    EXPECT_TRUE(delete_record(vault_, at_));
    // A directory where the record belongs cannot be linked to a backup; nothing is left behind.
    fs::create_directories(file());
    EXPECT_TRUE(put("v").error().display().starts_with("vault I/O failed: rotate .bak: "));
    EXPECT_EQ(names_in(vault_), (std::set<std::string>{id_ + ".sec", id_ + ".sec.bak"}));
    // Wrong keys and cut frames are named below, a bad magic in RegistryTest.
    fs::remove(file());
    write_file(file(), std::string_view("TARN\x02\x00\x00\x00{}", 10));
    EXPECT_EQ(read(), "record serialization failed: unsupported record frame version 2");
    EXPECT_EQ(shown(read_record(vault_, coordinate("secret:${ENV}/app/token"), key_)).substr(0, 26),
              "coordinate is not storable");
    // Listing reads only record files and reports failures per file.
    fs::remove(file());
    EXPECT_TRUE(load_all(root_ / "nowhere", key_)->records.empty());
    const Coordinate other = coordinate("secret:dev/app/other"), third = coordinate("secret:dev/app/third");
    ASSERT_TRUE(put("good"));
    ASSERT_TRUE(put("whole", other, key_, vault_));
    ASSERT_TRUE(put("stranger", third, key_of(2), vault_));
    write_file(*record_path(vault_, other), read_file(*record_path(vault_, other)).substr(0, 40));
    for (const auto& name : {id_ + ".sec.bak", id_ + ".sec.tmp", id_ + ".sec.tmp.1.2.3", id_ + ".sec.lock",
                             std::string("audit.log"), std::string(".sec")}) {
        write_file(vault_ / name, "junk");
    }
    fs::create_directories(vault_ / "odd.sec");
    const auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = descriptors();
    Result<LoadedVault> loaded = load_all(vault_, key_);
    EXPECT_EQ(descriptors(), before);
    ASSERT_TRUE(loaded) << loaded.error().display();
    ASSERT_EQ(loaded->records.size(), 1U);
    EXPECT_EQ(loaded->records[0].stem + " " + literal_value(loaded->records[0].record), id_ + " good");
    std::set<std::string> failures;
    for (const auto& failure : loaded->failures) {
        failures.insert(failure.stem + ": " + failure.error.substr(0, failure.error.find(": ", 20)));
    }
    EXPECT_EQ(failures, (std::set<std::string>{*other.storage_id() + ": record serialization failed",
                                               *third.storage_id() + ": crypto operation failed",
                                               "odd: vault I/O failed: read"}));
}

// Two processes rewrite one record while this one reads it: the record is never
// missing or incomplete (a new frame is renamed over the old, which is linked to
// the backup first).
TEST_F(Store, ConcurrentWritersNeverExposeAMissingOrPartialRecord) {
    ASSERT_TRUE(put("initial"));
    for (int p = 0; p < 2; ++p) {
        if (::fork() != 0) continue;
        bool failed = false;
        for (int i = 0; i < 100; ++i) failed |= !put("w" + std::to_string(p) + "-" + std::to_string(i));
        ::_exit(failed ? 1 : 0);
    }
    std::set<std::string> odd;
    for (int running = 2, status = 0; running > 0;) {  // read until both writers are done
        if (const std::string value = read(); value != "initial" && !value.starts_with("w")) odd.insert(value);
        if (::waitpid(-1, &status, WNOHANG) > 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            --running;
        }
    }
    EXPECT_TRUE(odd.empty()) << *odd.begin();
    EXPECT_EQ(names_in(vault_), (std::set<std::string>{id_ + ".sec", id_ + ".sec.bak"}));
}

// Guards: planted links, FIFOs, special and oversized record files (refused
// without following, blocking or allocating).
TEST_F(Store, PlantedRecordFilesAreRefused) {
    ASSERT_TRUE(put("inside"));
    ASSERT_TRUE(put("outside", at_, key_, root_));
    const std::string named = "vault I/O failed: read record: " + quoted_path(file()) + ": ";
    const auto plant = [&](auto make) {
        fs::remove(file());
        make();
        return within_seconds([&] { return read(); });
    };
    EXPECT_EQ(plant([&] { ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0); }), named + "not a regular file");
    EXPECT_EQ(within_seconds([&] { return load_all(vault_, key_)->failures.size(); }), 1U);  // listing goes on
    // A link is not followed, even to a record this key opens.
    EXPECT_EQ(plant([&] { fs::create_symlink(*record_path(root_, at_), file()); }), named + "not a regular file");
    // A sparse terabyte is refused from its size alone.
    EXPECT_EQ(plant([&] {
                  const UniqueFd fd(::open(file().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
                  ASSERT_EQ(::ftruncate(fd.get(), off_t{1} << 40), 0);
              }),
              named + "larger than 33554432 bytes");
    // A vault directory that is a link is not entered.
    const fs::path linked = root_ / "linked";
    fs::create_symlink(vault_, linked);
    EXPECT_EQ(put("v", at_, key_, linked).error().display(),
              "vault I/O failed: create " + quoted_path(linked) + ": Not a directory (os error 20)");
}

// Guards: planted links at a temporary's name (a predictable name is skipped,
// never opened through the link).
TEST(AtomicWrite, PublishesAPrivateFileAndNeverWritesThroughAPlantedTemporary) {
    TempDir dir;
    const auto path = dir.path() / "x.json";
    write_file(dir.path() / "target", "untouched");
    for (const char* guess : {"x.tmp", "x.json.tmp"}) fs::create_symlink(dir.path() / "target", dir.path() / guess);
    const std::string probe = unique_temp_path(path).string();
    const auto dot = probe.rfind('.') + 1;
    const fs::path next = probe.substr(0, dot) + std::to_string(std::stoull(probe.substr(dot)) + 1);
    fs::create_symlink(dir.path() / "target", next);
    EXPECT_NE(create_temp(path)->name.path(), next);
    ASSERT_TRUE(atomic_write(path, R"({"a":1})"));
    EXPECT_EQ(read_file(path), R"({"a":1})");
    EXPECT_EQ(mode_of(path), 0600U);
    EXPECT_EQ(read_file(dir.path() / "target"), "untouched");
    EXPECT_EQ(atomic_write_as(dir.path() / "target" / "y.json", "{}", "intake").error().display(),
              "vault I/O failed: write intake: Not a directory (os error 20)");
    EXPECT_EQ(names_in(dir.path()).size(), 5U);  // no temporary of its own left behind
}

// Every path under the root, to show that an operation touched nothing.
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) paths.insert(entry.path().string());
    return paths;
}

class RegistryTest : public Store {
protected:
    // The value found and where, or the error.
    std::string found(const Coordinate& at, std::optional<std::string_view> project) {
        const auto record = registry_.resolve_with_key(at, project, key_);
        if (!record || !*record) return record ? "<absent>" : record.error().display();
        const auto* in_project = std::get_if<ProjectVault>(&(*record)->location);
        return literal_value((*record)->record) + (in_project ? " in " + in_project->name : " in global");
    }

    Registry registry_ = *Registry::open(root_ / "root");
};

TEST_F(RegistryTest, OpenMakesThePrivateLayoutListsRealProjectsAndFallsBackOnlyForAMissingRecord) {
    EXPECT_EQ(mode_of(registry_.global_dir()), 0700U);
    EXPECT_EQ(mode_of(registry_.projects_root()), 0700U);
    // Projects are real directories with UTF-8 names, in byte order.
    const fs::path projects = registry_.projects_root();
    for (const char* name : {"b", "a", "B", "bad\xff"}) fs::create_directory(projects / name);
    write_file(projects / "c", "file");
    fs::create_directory_symlink(projects / "a", projects / "d");
    EXPECT_EQ(*registry_.list_projects(), (std::vector<std::string>{"B", "a", "b"}));
    // A project without the record falls back to global, and a damaged project record does not fall through.
    // That a project's record shadows global is Resolver.EachSourceResolvesWhereItShould's.
    ASSERT_TRUE(put("global value", at_, key_, registry_.global_dir()));
    EXPECT_EQ(found(at_, "q"), "global value in global");
    EXPECT_FALSE(fs::exists(registry_.project_dir("q")));
    EXPECT_EQ(found(coordinate("secret:dev/app/none"), "p"), "<absent>");
    ASSERT_TRUE(put("project value", at_, key_, *registry_.checked_project_dir("p")));
    write_file(*record_path(registry_.project_dir("p"), at_), "TARN");
    EXPECT_EQ(found(at_, "p"), "record serialization failed: not a tarnel record frame");
}

// Guards: project names joined under projects/ unchecked, so ".." or a "/" reached other vaults.
TEST_F(RegistryTest, ProjectNamesThatLeaveProjectsAreRefusedBeforeTouchingFiles) {
    ASSERT_TRUE(put("outside", at_, key_, root_ / "root"));  // what "projects/.." would reach
    ASSERT_TRUE(put("global value", at_, key_, registry_.global_dir()));
    const std::set<std::string> before = tree(root_);
    using namespace std::string_literals;
    for (const std::string& name : {""s, "."s, ".."s, "a/b"s, "/etc"s, "../global"s, "p/"s, "a\0b"s}) {
        const auto refused = registry_.checked_project_dir(name);
        ASSERT_FALSE(refused) << name;
        EXPECT_EQ(found(at_, name), refused.error().display());
        EXPECT_EQ(found(coordinate("secret://global/dev/app/token"), name), refused.error().display());
    }
    EXPECT_EQ(registry_.checked_project_dir("..").error().display(),
              "vault I/O failed: invalid project name `..`: a project name must be a single path component "
              "(not empty, `.` or `..`, no `/` or NUL)");
    EXPECT_EQ(tree(root_), before);
    for (const std::string_view good : {"...", "my project", ".hidden", "p.sec"}) {
        EXPECT_TRUE(registry_.checked_project_dir(good)) << good;
    }
}

}  // namespace
}  // namespace tarnel::core
