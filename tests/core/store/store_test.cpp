#include "core/store/store.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>
#include <thread>
#include <vector>

#include "core/base/digest.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

namespace fs = std::filesystem;
using namespace tarnel::testing;

std::size_t open_descriptors() { return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {})); }

class Store : public ::testing::Test {
protected:
    Result<void> put(const Coordinate& at, std::string_view value, const MasterKey& key) {
        Result<SealedRecord> sealed = seal(literal(at, value), key);
        if (!sealed) return fail(std::move(sealed.error()));
        return write_record(vault_, at, *sealed);
    }

    fs::path file_of(const Coordinate& at) { return *record_path(vault_, at); }

    TempDir dir_;
    fs::path root_ = dir_.path();
    fs::path vault_ = root_ / "vault";
    MasterKey key_ = key_of(1);
    Coordinate at_ = coordinate("secret:dev/app/token");
};

TEST_F(Store, WritesIntoAMissingDirectoryWithPrivateModesAndTheFrame) {
    vault_ = root_ / "a" / "b" / "vault";
    ASSERT_TRUE(put(at_, "v1", key_));
    EXPECT_EQ(mode_of(vault_), 0700U);
    const fs::path file = file_of(at_);
    EXPECT_EQ(file.filename(), *at_.storage_id() + ".sec");
    EXPECT_EQ(mode_of(file), 0600U);
    const std::string bytes = read_file(file);
    EXPECT_EQ(bytes.substr(0, 18), std::string("TARN\x01\x00\x00\x00{\"nonce\":[", 18));
    EXPECT_NE(bytes.back(), '\n');

    Result<std::optional<SecretRecord>> back = read_record(vault_, at_, key_);
    ASSERT_TRUE(back && *back);
    EXPECT_EQ(literal_value(**back), "v1");

    // A directory that already exists keeps the mode it has.
    ::chmod(vault_.c_str(), 0750);
    ASSERT_TRUE(put(at_, "v2", key_));
    EXPECT_EQ(mode_of(vault_), 0750U);
}

TEST_F(Store, RestrictAndEnsureDirNameWhatFailed) {
    const fs::path file = root_ / "f";
    write_file(file, "x");
    ::chmod(file.c_str(), 0666);
    ASSERT_TRUE(restrict(file, 0640));
    EXPECT_EQ(mode_of(file), 0640U);
    Result<void> missing = restrict(root_ / "missing", 0600);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(), "vault I/O failed: chmod 600: No such file or directory (os error 2)");

    const fs::path wanted = file / "we\"ird";
    Result<void> made = ensure_dir(wanted);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().display(),
              "vault I/O failed: create \"" + file.string() + "/we\\\"ird\": Not a directory (os error 20)");
}

TEST_F(Store, SecondWriteKeepsExactlyOneBackupOfTheFirst) {
    ASSERT_TRUE(put(at_, "first", key_));
    ASSERT_TRUE(put(at_, "second", key_));
    const std::string id = *at_.storage_id();
    EXPECT_EQ(names_in(vault_), (std::set<std::string>{id + ".sec", id + ".sec.bak"}));

    Result<std::optional<SecretRecord>> current = read_record(vault_, at_, key_);
    ASSERT_TRUE(current && *current);
    EXPECT_EQ(literal_value(**current), "second");
    const std::string backup = read_file(vault_ / (id + ".sec.bak"));
    Result<SealedRecord> sealed = unframe(bytes_of(backup));
    ASSERT_TRUE(sealed);
    Result<SecretRecord> previous = open_sealed(*sealed, key_);
    ASSERT_TRUE(previous);
    EXPECT_EQ(literal_value(*previous), "first");

    ASSERT_TRUE(put(at_, "third", key_));
    EXPECT_EQ(names_in(vault_).size(), 2U);
}

TEST_F(Store, FrameErrorsHaveTheirTexts) {
    ASSERT_TRUE(put(at_, "v", key_));
    std::string bytes = read_file(file_of(at_));
    bytes[4] = 2;
    write_file(file_of(at_), bytes);
    Result<std::optional<SecretRecord>> read = read_record(vault_, at_, key_);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().display(), "record serialization failed: unsupported record frame version 2");

    for (std::string_view short_or_foreign : {std::string_view("TARN\x01\x00\x00", 7), std::string_view("TARX\x01\x00\x00\x00{}", 10)}) {
        Result<SealedRecord> unframed = unframe(bytes_of(short_or_foreign));
        ASSERT_FALSE(unframed);
        EXPECT_EQ(unframed.error().display(), "record serialization failed: not a tarnel record frame");
    }
    Result<SealedRecord> empty_json = unframe(bytes_of(std::string_view("TARN\x01\x00\x00\x00", 8)));
    ASSERT_FALSE(empty_json);
    EXPECT_EQ(empty_json.error().kind(), ErrorKind::Serialization);
}

TEST_F(Store, AbsentRecordReadsAsNothingAndDeletesCleanly) {
    Result<std::optional<SecretRecord>> read = read_record(vault_, at_, key_);
    ASSERT_TRUE(read);
    EXPECT_FALSE(*read);
    EXPECT_TRUE(delete_record(vault_, at_));

    ASSERT_TRUE(put(at_, "a", key_));
    ASSERT_TRUE(put(at_, "b", key_));
    ASSERT_TRUE(delete_record(vault_, at_));
    EXPECT_EQ(names_in(vault_), std::set<std::string>{*at_.storage_id() + ".sec.bak"});
    Result<std::optional<SecretRecord>> gone = read_record(vault_, at_, key_);
    ASSERT_TRUE(gone);
    EXPECT_FALSE(*gone);

    const Coordinate placeholder = coordinate("secret:${ENV}/app/token");
    Result<fs::path> path = record_path(vault_, placeholder);
    ASSERT_FALSE(path);
    EXPECT_EQ(path.error().display(), "coordinate is not storable: coordinate has an unresolved `${ENV}` placeholder");
    EXPECT_FALSE(delete_record(vault_, placeholder));
    EXPECT_FALSE(read_record(vault_, placeholder, key_));
}

TEST_F(Store, LoadAllReadsOnlyRecordFilesAndReportsFailuresPerFile) {
    const Coordinate other = coordinate("secret:dev/app/other");
    ASSERT_TRUE(put(at_, "good", key_));
    ASSERT_TRUE(put(other, "whole", key_));
    const std::string id = *at_.storage_id();
    const std::string other_id = *other.storage_id();
    const std::string whole = read_file(file_of(other));
    write_file(file_of(other), whole.substr(0, whole.size() / 2));  // truncated
    write_file(vault_ / (id + ".sec.bak"), "junk");
    write_file(vault_ / (id + ".sec.tmp"), "junk");
    write_file(vault_ / (id + ".sec.tmp.1.2.3"), "junk");
    write_file(vault_ / (id + ".sec.lock"), "junk");
    write_file(vault_ / "audit.log", "junk");
    write_file(vault_ / ".sec", "junk");

    Result<LoadedVault> loaded = load_all(vault_, key_);
    ASSERT_TRUE(loaded) << loaded.error().display();
    ASSERT_EQ(loaded->records.size(), 1U);
    EXPECT_EQ(loaded->records[0].stem, id);
    EXPECT_EQ(literal_value(loaded->records[0].record), "good");
    ASSERT_EQ(loaded->failures.size(), 1U);
    EXPECT_EQ(loaded->failures[0].stem, other_id);
    EXPECT_TRUE(loaded->failures[0].error.starts_with("record serialization failed: ")) << loaded->failures[0].error;
}

TEST_F(Store, LoadAllReportsWrongKeysAndUnreadableEntriesPerFile) {
    Result<LoadedVault> nowhere = load_all(root_ / "nowhere", key_);
    ASSERT_TRUE(nowhere);
    EXPECT_TRUE(nowhere->records.empty() && nowhere->failures.empty());

    ASSERT_TRUE(put(at_, "v", key_));
    Result<LoadedVault> wrong_key = load_all(vault_, key_of(2));
    ASSERT_TRUE(wrong_key);
    EXPECT_TRUE(wrong_key->records.empty());
    ASSERT_EQ(wrong_key->failures.size(), 1U);
    EXPECT_EQ(wrong_key->failures[0].stem, *at_.storage_id());
    EXPECT_EQ(wrong_key->failures[0].error, "crypto operation failed");

    fs::create_directories(vault_ / "odd.sec");
    Result<LoadedVault> loaded = load_all(vault_, key_);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->records.size(), 1U);
    ASSERT_EQ(loaded->failures.size(), 1U);
    EXPECT_EQ(loaded->failures[0].stem, "odd");
    EXPECT_EQ(loaded->failures[0].error, "vault I/O failed: read: not a regular file");
}

TEST_F(Store, FailedWriteRemovesItsTemporaryFiles) {
    // A directory where the record belongs cannot be linked to a backup.
    fs::create_directories(file_of(at_));
    Result<void> written = put(at_, "v", key_);
    ASSERT_FALSE(written);
    EXPECT_TRUE(written.error().display().starts_with("vault I/O failed: rotate .bak: ")) << written.error().display();
    EXPECT_EQ(names_in(vault_), std::set<std::string>{*at_.storage_id() + ".sec"});
}

TEST_F(Store, OperationsLeaveNoDescriptorsOpen) {
    ASSERT_TRUE(put(at_, "warm-up", key_));  // the random source may keep its own descriptor
    const std::size_t before = open_descriptors();
    ASSERT_TRUE(put(at_, "v", key_));
    ASSERT_TRUE(read_record(vault_, at_, key_));
    ASSERT_TRUE(load_all(vault_, key_));
    ASSERT_FALSE(load_all(vault_, key_of(9))->failures.empty());
    ASSERT_TRUE(delete_record(vault_, at_));
    ASSERT_TRUE(sync_dir(vault_));
    fs::create_directories(file_of(at_));
    ASSERT_FALSE(put(at_, "v", key_));
    EXPECT_EQ(open_descriptors(), before);
}

int descriptors_seen_by_a_child() {
    FILE* pipe = ::popen("ls /proc/self/fd | wc -l", "re");
    if (pipe == nullptr) return -1;
    int count = -1;
    if (std::fscanf(pipe, "%d", &count) != 1) count = -1;
    ::pclose(pipe);
    return count;
}

TEST_F(Store, DescriptorsAreClosedOnExec) {
    ASSERT_TRUE(put(at_, "v", key_));
    const int baseline = descriptors_seen_by_a_child();
    ASSERT_GT(baseline, 0);
    // Children started while the store holds descriptors open must not inherit them.
    std::atomic<bool> stop = false;
    std::thread busy([&] {
        while (!stop) {
            (void)load_all(vault_, key_);
            (void)put(at_, "v", key_);
        }
    });
    int most = 0;
    for (int i = 0; i < 20; ++i) most = std::max(most, descriptors_seen_by_a_child());
    stop = true;
    busy.join();
    EXPECT_EQ(most, baseline);
}

// Independent implementation: Python's cryptography and json, as real child processes.
struct Child {
    int status;
    std::string out;
};

Child run_python(const std::string& script, const std::vector<std::string>& args) {
    std::string command = std::string(TARNEL_TEST_PYTHON) + " '" + TARNEL_SOURCE_DIR + "/tests/interop/" + script + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    FILE* pipe = ::popen(command.c_str(), "re");
    if (pipe == nullptr) return {-1, {}};
    Child child{0, {}};
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) child.out += buffer;
    child.status = ::pclose(pipe);
    if (!child.out.empty() && child.out.back() == '\n') child.out.pop_back();
    return child;
}

TEST_F(Store, InteropPythonOpensOurRecordFile) {
    ASSERT_TRUE(put(at_, "from C++", key_));
    const Child child = run_python("open_record.py", {file_of(at_).string(), to_lower_hex(key_.expose_secret())});
    ASSERT_EQ(child.status, 0) << child.out;
    EXPECT_EQ(child.out,
              R"({"members":["mode","value","sensitivity","revealable","environment","component","key","created","updated"],)"
              R"("mode":"literal","value":"from C++","path":"dev/app/token","compact":true})");
}

TEST_F(Store, InteropWeOpenAPythonSealedRecordFile) {
    fs::create_directories(vault_);
    const Coordinate at = coordinate("secret:prod/api/key");
    const Child child = run_python("seal_record.py", {vault_.string(), to_lower_hex(key_.expose_secret()), "prod/api/key", "from Python"});
    ASSERT_EQ(child.status, 0) << child.out;
    EXPECT_EQ(fs::path(child.out), file_of(at));

    Result<std::optional<SecretRecord>> read = read_record(vault_, at, key_);
    ASSERT_TRUE(read) << read.error().display();
    ASSERT_TRUE(*read);
    EXPECT_EQ(literal_value(**read), "from Python");
    EXPECT_EQ((*read)->meta.sensitivity, Sensitivity::High);
    EXPECT_EQ((*read)->meta.description, "sealed by the interop script");
    EXPECT_EQ((*read)->canonical_path(), "prod/api/key");

    Result<std::optional<SecretRecord>> wrong = read_record(vault_, at, key_of(5));
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().display(), "crypto operation failed");
}

// Several processes with several threads each rewrite one record while this
// process reads it: the record path must never be missing or incomplete.
TEST_F(Store, ConcurrentWritersNeverExposeAMissingOrPartialRecord) {
    constexpr int kProcesses = 4;
    constexpr int kThreads = 2;
    constexpr int kWrites = 50;
    ASSERT_TRUE(put(at_, "initial", key_));

    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::atomic<int> failures = 0;
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&, p, t] {
                    for (int i = 0; i < kWrites; ++i) {
                        const std::string value = "w" + std::to_string(p) + "-" + std::to_string(t) + "-" + std::to_string(i);
                        if (!put(at_, value, key_)) ++failures;
                    }
                });
            }
            for (auto& thread : threads) thread.join();
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }

    int reads = 0;
    int absent = 0;
    std::vector<std::string> errors;
    std::size_t running = children.size();
    while (running > 0) {
        Result<std::optional<SecretRecord>> read = read_record(vault_, at_, key_);
        ++reads;
        if (!read) {
            if (errors.size() < 5) errors.push_back(read.error().display());
        } else if (!*read) {
            ++absent;
        } else {
            const std::string value = literal_value(**read);
            if (value != "initial" && !value.starts_with("w")) errors.push_back("unexpected value");
        }
        for (pid_t& pid : children) {
            int status = 0;
            if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                pid = -1;
                --running;
            }
        }
    }
    EXPECT_GT(reads, 10);
    EXPECT_EQ(absent, 0);
    EXPECT_TRUE(errors.empty()) << errors.front();

    const std::string id = *at_.storage_id();
    EXPECT_EQ(names_in(vault_), (std::set<std::string>{id + ".sec", id + ".sec.bak"}));
    Result<std::optional<SecretRecord>> last = read_record(vault_, at_, key_);
    ASSERT_TRUE(last && *last);
    EXPECT_TRUE(literal_value(**last).ends_with("-49"));
}

}  // namespace
}  // namespace tarnel::core
