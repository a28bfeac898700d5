#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "core/run/process.hpp"
#include "core/run/signal_relay.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

std::expected<ProcessOutput, ProcessError> attached_shell(const std::string& script) {
    return run_attached("/bin/sh", {"-c", script}, ChildEnvironment::inherited_without_vault_settings());
}

siginfo_t sent(int code, pid_t sender) {
    siginfo_t info{};
    info.si_signo = SIGINT;
    info.si_code = code;
    info.si_pid = sender;
    return info;
}

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

TEST(RunAttached, ReportsExitCodesSignalsAndWhyAProgramDidNotStart) {
    auto three = attached_shell("exit 3");
    ASSERT_TRUE(three);
    EXPECT_EQ(three->code, 3);
    EXPECT_EQ(three->signal, std::nullopt);

    auto killed = attached_shell("kill -TERM $$");
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->code, std::nullopt);
    EXPECT_EQ(killed->signal, SIGTERM);

    const auto env = ChildEnvironment::inherited_without_vault_settings();
    auto missing = run_attached("no-such-program-here", {}, env);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().error_number, ENOENT);
    TempDir dir;
    write_file(dir.path() / "plain", "#!/bin/sh\n");
    auto plain = run_attached((dir.path() / "plain").string(), {}, env);
    ASSERT_FALSE(plain);
    EXPECT_EQ(plain.error().error_number, EACCES);
}

struct SignalState {
    sigset_t mask{};
    struct sigaction term {};
    struct sigaction interrupt {};

    static SignalState now() {
        SignalState state;
        ::pthread_sigmask(SIG_BLOCK, nullptr, &state.mask);
        ::sigaction(SIGTERM, nullptr, &state.term);
        ::sigaction(SIGINT, nullptr, &state.interrupt);
        return state;
    }
    bool operator==(const SignalState& other) const {
        for (int signal_number = 1; signal_number < SIGRTMIN; ++signal_number) {
            if (::sigismember(&mask, signal_number) != ::sigismember(&other.mask, signal_number)) return false;
        }
        return term.sa_handler == other.term.sa_handler && interrupt.sa_handler == other.interrupt.sa_handler;
    }
};

TEST(RunAttached, RelaysATermSentToUsAndPutsOurSignalsBack) {
    TempDir dir;
    const auto marker = dir.path() / "marker";
    const SignalState before = SignalState::now();
    // A grandchild sends SIGTERM to us (the shell's parent), which we survive
    // and pass on; the shell's trap proves it arrived.
    auto relayed = attached_shell("trap 'echo relayed > \"" + marker.string() + "\"; exit 7' TERM; "
                                  "(kill -TERM $PPID) & for i in $(seq 100); do sleep 0.1 & wait $!; done; exit 9");
    ASSERT_TRUE(relayed);
    EXPECT_EQ(relayed->code, 7);
    EXPECT_EQ(read_file(marker), "relayed\n");
    EXPECT_TRUE(SignalState::now() == before);
}

TEST(RunAttached, ASignalFromTheChildItselfIsNeitherSentBackNorFatalLater) {
    // Whether it lands while we relay or after, blocked and pending, we live on.
    auto result = attached_shell("kill -INT $PPID; kill -TERM $PPID; exit 4");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code, 4);
}

}  // namespace
}  // namespace tarnel::core
