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

#include <cstring>

#include "session/key_handover.hpp"
#include "support/test_support.hpp"

namespace tarnel::session {
namespace {

namespace fs = std::filesystem;

const core::MasterKey kKey = testing::key_of(7);

enum class Child { NonDumpable, Dumpable, Traced, Privileged, Itself };

// Whether this process may read any process; with `drop`, it first gives up
// the capabilities that do, as the server does first.
bool may_read_any_process(bool drop = false) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> data{};
    if (::syscall(SYS_capget, &header, data.data()) != 0 && drop) ::_exit(3);  // else nothing is permitted
    for (unsigned capability : {CAP_SYS_PTRACE, CAP_SYS_ADMIN, CAP_PERFMON}) {
        if (drop) data[capability / 32].effective &= ~(1U << (capability % 32));
        if (drop) data[capability / 32].permitted &= ~(1U << (capability % 32));
    }
    if (drop && ::syscall(SYS_capset, &header, data.data()) != 0) ::_exit(3);
    return (data[0].permitted & (1U << CAP_SYS_PTRACE)) != 0;
}

// Exits 0 when it read exactly the key, 1 when the connection ended with
// nothing, 2 on anything else.
[[noreturn]] void connect_and_read(const fs::path& socket_path, Child kind) {
    if (kind != Child::Privileged) may_read_any_process(true);
    if (kind == Child::Traced) ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    if (kind != Child::Dumpable) ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.native().size());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ::_exit(2);
    std::array<std::uint8_t, 33> got{};
    std::size_t total = 0;
    for (ssize_t n = 0; (n = ::read(fd, got.data() + total, got.size() - total)) > 0;)
        total += static_cast<std::size_t>(n);
    ::_exit(total == 0 ? 1 : total == 32 && std::memcmp(got.data(), kKey.expose_secret().data(), total) == 0 ? 0 : 2);
}

int exit_status(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) continue;
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

// Guards: the key went to a key holder other processes of the user could read.
TEST(KeyHandover, TheKeyGoesOnlyToAnUnreadableChild) {
    // the child, and the refusal (empty: the key is handed over)
    const std::pair<Child, const char*> rows[] = {
        {Child::NonDumpable, ""},
        // A fresh image is dumpable until it says otherwise: /proc shows its memory.
        {Child::Dumpable, "is dumpable"},
        // A tracer attached before the child went non-dumpable keeps reading it.
        {Child::Traced, "is traced"},
        // The process started ran as a fresh, readable image: its memory may have been written then.
        {Child::Itself, "did not connect"},
        // Under uid 0 any process holding the same capabilities reads it either way (only with CAP_SYS_PTRACE).
        {Child::Privileged, "holds a capability that reads any process"},
    };
    for (const auto& [kind, refusal] : rows) {
        if (kind == Child::Privileged && !may_read_any_process()) continue;
        SCOPED_TRACE(refusal);
        const testing::TempDir dir;
        auto handover = KeyHandover::listen(dir.path());
        ASSERT_TRUE(handover) << handover.error().message();
        const bool handed = *refusal == '\0';
        const pid_t child = start_server(handover->path(), kind);
        auto connection =
            handover->hand_over(child, kKey, std::chrono::seconds(kind == Child::Itself ? 2 : 20), [] { return true; });
        EXPECT_NE((connection ? std::string() : connection.error().message()).find(refusal), std::string::npos);
        EXPECT_EQ(static_cast<bool>(connection), handed);
        connection = core::UniqueFd();
        // Itself is still connected: only now, with the listener gone, does it read the end.
        (void)KeyHandover(std::move(*handover));
        EXPECT_EQ(exit_status(child), handed ? 0 : 1);
    }
}

// A process of the user that connects before the server gets nothing, and the
// socket is gone with the handover.
TEST(KeyHandover, AnotherProcessThatConnectsFirstGetsNothing) {
    const testing::TempDir dir;
    auto handover = KeyHandover::listen(dir.path());
    ASSERT_TRUE(handover);
    const pid_t intruder = ::fork();
    if (intruder == 0) connect_and_read(handover->path(), Child::NonDumpable);
    ::usleep(200 * 1000);  // the server connects once the intruder waits on its own connection
    const pid_t server = start_server(handover->path(), Child::NonDumpable);
    auto connection = handover->hand_over(server, kKey, std::chrono::seconds(20), [] { return true; });
    ASSERT_TRUE(connection) << connection.error().message();
    connection = core::UniqueFd();
    EXPECT_EQ(exit_status(server), 0);
    EXPECT_EQ(exit_status(intruder), 1);
    const fs::path path = handover->path();
    (void)KeyHandover(std::move(*handover));
    EXPECT_FALSE(fs::exists(path));
}

}  // namespace
}  // namespace tarnel::session
