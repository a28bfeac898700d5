// Child processes the providers and the wrapper's runner start, and which
// signals a run attached to the terminal passes on (tarnel run's own signal
// handling is tested through the command, tests/python/test_cli_run.py).

#include "core/run/process.hpp"

#include <fcntl.h>
#include <signal.h>

#include "core/run/signal_relay.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

ProcessSpec shell(std::string script, std::optional<std::chrono::milliseconds> timeout = std::nullopt) {
    return {.program = "/bin/sh", .args = {"-c", std::move(script)}, .timeout = timeout};
}

std::expected<ProcessOutput, ProcessError> run(const ProcessSpec& child) {
    return run_process(child, ChildEnvironment::inherited_without_vault_settings());
}

std::string text(const SecretValue& value) { return std::string(value.expose_secret_chars()); }

// Exit codes and signals are tested through the session's inject_run
// (tests/python/test_inject.py); a program that cannot start is told apart.
TEST(RunProcess, ChildReadsNoInputHasOnlyStandardDescriptorsAndNoBlockedSignals) {
    EXPECT_EQ(text(run(shell("read line || echo eof"))->out), "eof\n");  // standard input is at its end
    // A program looked up in PATH is tested through the providers (tests/providers).
    auto missing = run({.program = "/nonexistent/tarnel-no-such-program"});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ProcessFailure::Start);
    EXPECT_EQ(missing.error().os_text, "No such file or directory (os error 2)");
    // The host (Python) may leave descriptors open without O_CLOEXEC and signals
    // blocked; its ignored SIGPIPE is tested through inject_run (tests/python/test_inject.py).
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    sigset_t usr1, old_mask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr1, &old_mask), 0);
    auto seen = run(shell("grep ^SigBlk /proc/self/status; ls /proc/$$/fd"));
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::close(leaked);
    EXPECT_EQ(text(seen->out), "SigBlk:\t0000000000000000\n0\n1\n2\n");
}

// Guards: pipe deadlock when a child fills stdout and stderr at once.
TEST(RunProcess, DrainsBothPipesWhileTheChildWrites) {
    constexpr std::size_t kOut = 200u << 20;
    constexpr std::size_t kErr = 3u << 20;
    auto big = run(shell("head -c " + std::to_string(kErr) + " /dev/zero >&2 & head -c " + std::to_string(kOut) +
                         " /dev/zero; wait"));
    ASSERT_TRUE(big);
    EXPECT_EQ(big->out.size(), kOut);
    EXPECT_EQ(big->err.size(), kErr);
}

TEST(RunProcess, TimeOutKillsTheChildEvenWhenADescendantHoldsThePipes) {
    TempDir dir;
    const auto pid_file = dir.path() / "grandchild";
    const auto start = Steady::now();
    auto result = run(shell("sleep 30 & echo $! > '" + pid_file.string() + "'; sleep 30", 300ms));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ProcessFailure::TimedOut);
    EXPECT_LT(Steady::now() - start, 10s);
    ::kill(std::stoi(read_file(pid_file)), SIGKILL);
}

// Guards: TARNEL_ variables leaking into a child's environment.
TEST(ChildEnvironment, DropsVaultSettingsAndReplacesByName) {
    const ScopedEnv dir("TARNEL_VAULT_DIR", "/secret/place"), phrase("TARNEL_PASSPHRASE", "hunter2"),
        keep("KEEP_TARNEL_X", "kept");
    auto env = ChildEnvironment::inherited_without_vault_settings();
    env.set("KEEP_TARNEL_X", bytes_of("new"));
    env.set("TARNEL_INJECTED", bytes_of("by name"));
    const std::string printed = "\n" + text(run_process({.program = "env"}, env)->out);
    for (const char* gone : {"\nTARNEL_VAULT_DIR=", "\nTARNEL_PASSPHRASE=", "KEEP_TARNEL_X=kept"}) {
        EXPECT_EQ(printed.find(gone), std::string::npos) << gone;
    }
    for (const char* kept : {"\nKEEP_TARNEL_X=new\n", "\nTARNEL_INJECTED=by name\n", "\nPATH="}) {
        EXPECT_NE(printed.find(kept), std::string::npos) << kept;
    }
}

siginfo_t sent(int code, pid_t sender) {
    siginfo_t info{};
    info.si_code = code;
    info.si_pid = sender;
    return info;
}

// Guards: a terminal's signal was not passed on to a child that left our process group.
TEST(SignalRelay, PassesOnWhatAProcessSentButNotTheTerminalNorTheChild) {
    constexpr pid_t kChild = 4242;
    for (bool in_group : {true, false}) {
        EXPECT_TRUE(should_relay(sent(SI_USER, 77), kChild, in_group));
        EXPECT_TRUE(should_relay(sent(SI_QUEUE, 77), kChild, in_group));
        EXPECT_FALSE(should_relay(sent(SI_USER, kChild), kChild, in_group));
    }
    // Ctrl-C: the kernel signals the whole foreground group, the child too,
    // unless it has left our group for one of its own.
    EXPECT_FALSE(should_relay(sent(SI_KERNEL, 0), kChild, true));
    EXPECT_TRUE(should_relay(sent(SI_KERNEL, 0), kChild, false));
}

}  // namespace
}  // namespace tarnel::core
