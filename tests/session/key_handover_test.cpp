// Handing the key to a server process: only to the expected child, and only
// once nobody else can read it. Each row forks a real child that connects.

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include <gtest/gtest.h>

#include "session/key_handover.hpp"
#include "support/test_support.hpp"

namespace tarnel::session {
namespace {

namespace fs = std::filesystem;

constexpr std::array<std::uint8_t, 32> kKeyBytes{7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                                                 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

enum class Child { NonDumpable, Dumpable, Traced, Privileged, Itself };

// What the server does first: it keeps no capability that reads any process.
void drop_capabilities_that_read_processes() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> data{};
    if (::syscall(SYS_capget, &header, data.data()) != 0) ::_exit(3);
    for (unsigned capability : {CAP_SYS_PTRACE, CAP_SYS_ADMIN, CAP_PERFMON}) {
        data[capability / 32].effective &= ~(1U << (capability % 32));
        data[capability / 32].permitted &= ~(1U << (capability % 32));
    }
    if (::syscall(SYS_capset, &header, data.data()) != 0) ::_exit(3);
}

// The child's exit status: 0 when it read exactly the key, 1 when the
// connection ended with nothing, 2 on anything else.
[[noreturn]] void connect_and_read(const fs::path& socket_path, Child kind) {
    if (kind != Child::Privileged) drop_capabilities_that_read_processes();
    if (kind == Child::Traced) ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    if (kind != Child::Dumpable) ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.native().size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(2);
    std::array<std::uint8_t, 33> got{};
    std::size_t total = 0;
    ssize_t n = 0;
    while ((n = ::read(fd, got.data() + total, got.size() - total)) > 0) total += static_cast<std::size_t>(n);
    if (total == 0) ::_exit(1);
    ::_exit(total == kKeyBytes.size() && std::memcmp(got.data(), kKeyBytes.data(), total) == 0 ? 0 : 2);
}

int exit_status(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// As the server starts: the process started forks the one that connects and
// holds the key, and ends as it does. `Itself` connects without forking.
pid_t start_server(const fs::path& socket_path, Child kind) {
    const pid_t started = ::fork();
    if (started != 0) return started;
    if (kind == Child::Itself) connect_and_read(socket_path, Child::NonDumpable);
    const pid_t holder = ::fork();
    if (holder == 0) connect_and_read(socket_path, kind);
    ::_exit(exit_status(holder));
}

struct Row {
    const char* name;
    Child kind;
    bool handed;
    const char* refusal;
};

class KeyHandoverTest : public ::testing::TestWithParam<Row> {};

TEST_P(KeyHandoverTest, TheKeyGoesOnlyToAnUnreadableChild) {
    const Row& row = GetParam();
    const testing::TempDir dir;
    auto handover = KeyHandover::listen(dir.path());
    ASSERT_TRUE(handover) << handover.error().message();
    const core::MasterKey key(kKeyBytes);
    const pid_t child = start_server(handover->path(), row.kind);
    auto connection = handover->hand_over(child, key, std::chrono::seconds(row.kind == Child::Itself ? 2 : 20),
                                          [] { return true; });
    EXPECT_EQ(static_cast<bool>(connection), row.handed);
    if (!connection) {
        EXPECT_NE(connection.error().message().find(row.refusal), std::string::npos) << connection.error().message();
    }
    connection = core::UniqueFd();
    // Itself is still connected: only now, with the listener gone, does it read the end.
    { auto gone = std::move(*handover); }
    EXPECT_EQ(exit_status(child), row.handed ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Children, KeyHandoverTest,
    ::testing::Values(Row{"NonDumpable", Child::NonDumpable, true, ""},
                      // A fresh image is dumpable until it says otherwise: /proc shows its memory.
                      Row{"Dumpable", Child::Dumpable, false, "is dumpable"},
                      // A tracer attached before the child went non-dumpable keeps reading it.
                      Row{"Traced", Child::Traced, false, "is traced"},
                      // The process started ran as a fresh, readable image: its memory may have been written then.
                      Row{"TheProcessStartedItself", Child::Itself, false, "did not connect"}),
    [](const auto& info) { return std::string(info.param.name); });

// Under uid 0: the checker cannot tell whether such a child is dumpable, and
// any process holding the same capabilities reads it either way.
TEST(KeyHandover, AChildThatKeepsTheCapabilityToReadAnyProcessGetsNothing) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> data{};
    ASSERT_EQ(::syscall(SYS_capget, &header, data.data()), 0);
    if ((data[0].permitted & (1U << CAP_SYS_PTRACE)) == 0) GTEST_SKIP() << "runs only with CAP_SYS_PTRACE";
    const testing::TempDir dir;
    auto handover = KeyHandover::listen(dir.path());
    ASSERT_TRUE(handover);
    const pid_t child = start_server(handover->path(), Child::Privileged);
    const core::MasterKey key(kKeyBytes);
    auto connection = handover->hand_over(child, key, std::chrono::seconds(20), [] { return true; });
    ASSERT_FALSE(connection);
    EXPECT_NE(connection.error().message().find("holds a capability that reads any process"), std::string::npos);
    EXPECT_EQ(exit_status(child), 1);
}

TEST(KeyHandover, AnotherProcessThatConnectsFirstGetsNothing) {
    const testing::TempDir dir;
    auto handover = KeyHandover::listen(dir.path());
    ASSERT_TRUE(handover);
    const pid_t intruder = ::fork();
    if (intruder == 0) connect_and_read(handover->path(), Child::NonDumpable);
    // The server connects only once the intruder is waiting on its own connection.
    ::usleep(200 * 1000);
    const pid_t server = start_server(handover->path(), Child::NonDumpable);
    const core::MasterKey key(kKeyBytes);
    auto connection = handover->hand_over(server, key, std::chrono::seconds(20), [] { return true; });
    ASSERT_TRUE(connection) << connection.error().message();
    connection = core::UniqueFd();
    EXPECT_EQ(exit_status(server), 0);
    EXPECT_EQ(exit_status(intruder), 1);
    const fs::path path = handover->path();
    { auto gone = std::move(*handover); }
    EXPECT_FALSE(fs::exists(path));
}

TEST(KeyHandover, ADumpableProcessRefusesToTakeTheKey) {
    ASSERT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);
    std::array<int, 2> pair{};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()), 0);
    const core::UniqueFd ours(pair[0]);
    const core::UniqueFd theirs(pair[1]);
    ASSERT_EQ(::write(theirs.get(), kKeyBytes.data(), kKeyBytes.size()), 32);
    auto key = receive_key(ours.get());
    ASSERT_FALSE(key);
    EXPECT_EQ(key.error().message(), "this process is dumpable: make it non-dumpable before it takes the key");
}

}  // namespace
}  // namespace tarnel::session
