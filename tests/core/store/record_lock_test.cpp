// The per-record lock that read-modify-write cycles hold; the lost update it
// prevents, across threads and processes, is tested through the session
// (tests/session/session_test.cpp, ConcurrentWriters).

#include "core/store/record_lock.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>

#include "core/store/store.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

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

    TempDir temp_;
    fs::path dir_ = temp_.path();
    Coordinate at_ = coordinate("secret:dev/app/token");
};

TEST_F(RecordLockTest, LockFileIsPrivateAndLivesOnlyBesideARecord) {
    const fs::path lock_file = *record_lock_path(dir_, at_);
    EXPECT_EQ(mode_of(lock().path()), 0600U);  // held to the end of this line
    EXPECT_FALSE(fs::exists(lock_file));
    write_file(*record_path(dir_, at_), "a record");
    (void)lock();  // taken and released
    EXPECT_TRUE(fs::exists(lock_file));
    {
        const RecordLock held = lock();
        fs::remove(*record_path(dir_, at_));  // a delete under the lock
    }
    EXPECT_FALSE(fs::exists(lock_file));
}

// Guards: a waiter queued on a lock file unlinked on release (no record beside
// it) held a lock on the orphan while a newcomer locked a fresh file.
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

// A signal without SA_RESTART interrupts flock (EINTR); the wait goes on.
TEST_F(RecordLockTest, InterruptedWaitIsResumed) {
    struct sigaction action{};
    action.sa_handler = [](int) {};  // nothing, and no SA_RESTART
    struct sigaction previous{};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    std::optional<RecordLock> first = lock();
    std::atomic<bool> locked = false;  // an interrupted wait that gave up would leave this false
    std::thread second([&] { locked = RecordLock::acquire(dir_, at_).has_value(); });
    ASSERT_TRUE(someone_waits_on(first->path()));
    for (int i = 0; i < 5; ++i, std::this_thread::sleep_for(20ms)) ::pthread_kill(second.native_handle(), SIGUSR1);
    first.reset();
    second.join();
    EXPECT_TRUE(locked);
    ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
}  // namespace tarnel::core
