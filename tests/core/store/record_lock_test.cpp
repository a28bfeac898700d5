#include "core/store/record_lock.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "core/keys/crypto.hpp"
#include "core/store/store.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using namespace tarnel::testing;

// Polls until the flag is set or the wait is over.
bool becomes_true(const std::atomic<bool>& flag, std::chrono::milliseconds wait = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!flag && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
    return flag;
}

class RecordLockTest : public ::testing::Test {
protected:
    RecordLock lock() {
        Result<RecordLock> held = RecordLock::acquire(dir_, at_);
        EXPECT_TRUE(held) << (held ? "" : held.error().display());
        return std::move(*held);
    }

    tarnel::testing::TempDir temp_;
    fs::path dir_ = temp_.path();
    Coordinate at_ = coordinate("secret:dev/app/token");
};

TEST_F(RecordLockTest, LockFileSitsBesideTheRecordWithPrivateMode) {
    const RecordLock held = lock();
    EXPECT_EQ(held.path(), dir_ / (*at_.storage_id() + ".sec.lock"));
    EXPECT_EQ(*record_lock_path(dir_, at_), held.path());
    struct stat info {};
    ASSERT_EQ(::stat(held.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600U);

    int found = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) != held.path()) continue;
        const int fd = std::stoi(entry.path().filename().string());
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        ++found;
    }
    EXPECT_EQ(found, 1);
}

TEST_F(RecordLockTest, MissingDirectoryAndPlaceholderAreRefused) {
    Result<RecordLock> missing = RecordLock::acquire(dir_ / "absent", at_);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(), "vault I/O failed: open record lock: No such file or directory (os error 2)");
    Result<RecordLock> placeholder = RecordLock::acquire(dir_, coordinate("secret:${ENV}/app/token"));
    ASSERT_FALSE(placeholder);
    EXPECT_EQ(placeholder.error().kind(), ErrorKind::NotStorable);
}

TEST_F(RecordLockTest, ForkedChildWaitsForTheParent) {
    std::ofstream(*record_path(dir_, at_)) << "a record";  // the child's copy of the guard must not unlink
    std::optional<RecordLock> held = lock();
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The inherited descriptor shares the parent's lock; drop it first.
        held.reset();
        Result<RecordLock> mine = RecordLock::acquire(dir_, at_);
        const char byte = mine ? 'y' : 'n';
        (void)!::write(ready[1], &byte, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    pollfd waiting{ready[0], POLLIN, 0};
    EXPECT_EQ(::poll(&waiting, 1, 300), 0) << "the child took a held lock";
    held.reset();
    ASSERT_EQ(::poll(&waiting, 1, 5000), 1);
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    ::close(ready[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
}

TEST_F(RecordLockTest, LockFileStaysBesideAnExistingRecordAndGoesWithoutOne) {
    const fs::path record = *record_path(dir_, at_);
    const fs::path lock_file = *record_lock_path(dir_, at_);
    { const RecordLock held = lock(); }
    EXPECT_FALSE(fs::exists(lock_file));

    std::ofstream(record) << "a record";
    { const RecordLock held = lock(); }
    EXPECT_TRUE(fs::exists(lock_file));

    {
        const RecordLock held = lock();
        fs::remove(record);  // a delete under the lock
    }
    EXPECT_FALSE(fs::exists(lock_file));
}

TEST_F(RecordLockTest, MovedGuardReleasesOnceAndOtherRecordsAreNotBlocked) {
    std::optional<RecordLock> moved;
    {
        RecordLock held = lock();
        moved.emplace(std::move(held));
    }
    EXPECT_TRUE(RecordLock::acquire(dir_, coordinate("secret:dev/app/other")));
    std::atomic<bool> acquired = false;
    std::thread other([&] {
        const RecordLock held = lock();
        acquired = true;
    });
    EXPECT_FALSE(becomes_true(acquired, 150ms));
    moved.reset();
    EXPECT_TRUE(becomes_true(acquired));
    other.join();
}

// A waiter queued on a lock file that is unlinked on release (no record
// beside it) must not hold a lock on the orphaned file while a newcomer locks
// a fresh one.
TEST_F(RecordLockTest, UnlinkedLockFileStillExcludesWaitersAndNewcomers) {
    std::optional<RecordLock> first = lock();
    std::atomic<bool> waiter_has_it = false;
    std::atomic<bool> release_waiter = false;
    std::thread waiter([&] {
        const RecordLock held = lock();
        waiter_has_it = true;
        while (!release_waiter) std::this_thread::sleep_for(1ms);
    });
    ASSERT_TRUE(someone_waits_on(first->path()));  // the waiter is queued on the first file
    first.reset();
    ASSERT_TRUE(becomes_true(waiter_has_it));
    EXPECT_TRUE(fs::exists(*record_lock_path(dir_, at_)));

    std::atomic<bool> newcomer_has_it = false;
    std::thread newcomer([&] {
        const RecordLock held = lock();
        newcomer_has_it = true;
    });
    EXPECT_FALSE(becomes_true(newcomer_has_it, 200ms));
    release_waiter = true;
    EXPECT_TRUE(becomes_true(newcomer_has_it));
    waiter.join();
    newcomer.join();
}

void ignore_signal(int) {}

TEST_F(RecordLockTest, InterruptedWaitIsResumed) {
    struct sigaction action {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: flock returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    std::optional<RecordLock> first = lock();
    std::atomic<bool> done = false;
    std::optional<Result<RecordLock>> outcome;
    std::thread second([&] {
        outcome.emplace(RecordLock::acquire(dir_, at_));
        done = true;
    });
    ASSERT_TRUE(someone_waits_on(first->path()));
    for (int i = 0; i < 5; ++i) {
        ::pthread_kill(second.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(done);
    first.reset();
    second.join();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(*outcome) << (*outcome ? "" : (*outcome).error().display());
    ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
}  // namespace tarnel::core
