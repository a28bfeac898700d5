#include "core/run/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>

#include <csignal>
#include <sstream>

#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

ProcessSpec shell(std::string script, std::optional<std::chrono::milliseconds> timeout = std::nullopt) {
    return ProcessSpec{.program = "/bin/sh", .args = {"-c", std::move(script)}, .capture = true, .timeout = timeout};
}

std::expected<ProcessOutput, ProcessError> run(const ProcessSpec& spec) {
    return run_process(spec, ChildEnvironment::inherited_without_vault_settings());
}

std::string text(const SecretValue& value) { return std::string(value.expose_secret_chars()); }

// The value of a "Name:\tvalue" line of /proc/<pid>/status.
std::string status_field(const std::string& status, std::string_view name) {
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(std::string(name) + ":")) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    }
    return "missing";
}

TEST(RunProcess, ReportsExitCodesAndSignals) {
    auto three = run(shell("echo out; echo err >&2; exit 3"));
    ASSERT_TRUE(three);
    EXPECT_EQ(three->code, 3);
    EXPECT_EQ(text(three->out), "out\n");
    EXPECT_EQ(text(three->err), "err\n");

    auto killed = run(shell("kill -KILL $$"));
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->code, std::nullopt);
}

TEST(RunProcess, DrainsBothPipesWhileTheChildWrites) {
    // Far more than a pipe holds on both streams at once: reading only after
    // the child exits, or one stream at a time, would deadlock here.
    constexpr std::size_t kOut = 200u << 20;
    constexpr std::size_t kErr = 3u << 20;
    auto big = run(shell("head -c " + std::to_string(kErr) + " /dev/zero >&2 & head -c " + std::to_string(kOut) +
                         " /dev/zero; wait"));
    ASSERT_TRUE(big);
    EXPECT_EQ(big->code, 0);
    EXPECT_EQ(big->out.size(), kOut);
    EXPECT_EQ(big->err.size(), kErr);
}

TEST(RunProcess, StandardInputIsAtEndOfFile) {
    auto result = run(shell("if read line; then echo got; else echo eof; fi"));
    ASSERT_TRUE(result);
    EXPECT_EQ(text(result->out), "eof\n");
}

TEST(RunProcess, FindsProgramsThroughPathAndReportsMissingOnesAsStartFailures) {
    auto by_name = run(ProcessSpec{.program = "sh", .args = {"-c", "echo found"}});
    ASSERT_TRUE(by_name);
    EXPECT_EQ(text(by_name->out), "found\n");

    for (std::string missing : {"tarnel-no-such-program", "/nonexistent/tarnel-no-such-program"}) {
        auto result = run(ProcessSpec{.program = missing});
        ASSERT_FALSE(result) << missing;
        EXPECT_EQ(result.error().kind, ProcessFailure::Start) << missing;
        EXPECT_EQ(result.error().os_text, "No such file or directory (os error 2)") << missing;
    }
}

TEST(RunProcess, TimeOutKillsTheChildEvenWhenADescendantHoldsThePipes) {
    TempDir dir;
    const auto pid_file = dir.path() / "grandchild";
    for (std::string script : {std::string("sleep 30"),
                               "sleep 30 & echo $! > '" + pid_file.string() + "'; sleep 30"}) {
        const auto start = Steady::now();
        auto result = run(shell(script, 300ms));
        const auto took = Steady::now() - start;
        ASSERT_FALSE(result) << script;
        EXPECT_EQ(result.error().kind, ProcessFailure::TimedOut) << script;
        EXPECT_GE(took, 300ms) << script;
        EXPECT_LT(took, 10s) << script;
    }
    const std::string grandchild = read_file(pid_file);
    ASSERT_FALSE(grandchild.empty());
    ::kill(std::stoi(grandchild), SIGKILL);
}

TEST(RunProcess, WithoutCaptureTheTimeOutStillApplies) {
    auto result = run_process(ProcessSpec{.program = "sleep", .args = {"30"}, .capture = false, .timeout = 200ms},
                              ChildEnvironment::inherited_without_vault_settings());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ProcessFailure::TimedOut);

    auto quick = run_process(ProcessSpec{.program = "true", .capture = false, .timeout = 10s},
                             ChildEnvironment::inherited_without_vault_settings());
    ASSERT_TRUE(quick);
    EXPECT_EQ(quick->code, 0);
}

TEST(RunProcess, ChildHasOnlyStandardDescriptorsAndDefaultSignals) {
    // A descriptor some other part of the process opened without O_CLOEXEC,
    // an ignored SIGPIPE (as under Python) and a blocked signal.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    const auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
    sigset_t usr1, old_mask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr1, &old_mask), 0);

    auto fds = run(shell("ls /proc/$$/fd"));
    auto status = run(ProcessSpec{.program = "/bin/cat", .args = {"/proc/self/status"}});

    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    std::signal(SIGPIPE, old_pipe);
    ::close(leaked);

    ASSERT_TRUE(fds);
    EXPECT_EQ(text(fds->out), "0\n1\n2\n");
    ASSERT_TRUE(status);
    // glibc's posix_spawn leaves its two internal signals (32 and 33) ignored
    // whatever the attributes say; the classic signals must all be at default.
    const auto ignored = std::stoull(status_field(text(status->out), "SigIgn"), nullptr, 16);
    EXPECT_EQ(ignored & 0x7fffffffULL, 0u) << std::hex << ignored;
    EXPECT_EQ(status_field(text(status->out), "SigBlk"), "0000000000000000");
}

TEST(RunProcess, WorksWhenTheCallerHasNoStandardStreams) {
    // Our /dev/null and pipe descriptors then land on 0, 1 and 2 first.
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) saved[fd] = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    for (int fd = 0; fd < 3; ++fd) ::close(fd);
    auto result = run(shell("cat; echo out; echo err >&2"));
    for (int fd = 0; fd < 3; ++fd) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    ASSERT_TRUE(result);
    EXPECT_EQ(text(result->out), "out\n");
    EXPECT_EQ(text(result->err), "err\n");
}

TEST(ChildEnvironment, DropsVaultSettingsAndReplacesByName) {
    ASSERT_EQ(::setenv("TARNEL_VAULT_DIR", "/secret/place", 1), 0);
    ASSERT_EQ(::setenv("TARNEL_PASSPHRASE", "hunter2", 1), 0);
    ASSERT_EQ(::setenv("KEEP_TARNEL_X", "kept", 1), 0);
    auto env = ChildEnvironment::inherited_without_vault_settings();
    ::unsetenv("TARNEL_VAULT_DIR");
    ::unsetenv("TARNEL_PASSPHRASE");
    ::unsetenv("KEEP_TARNEL_X");

    const std::size_t inherited = env.size();
    env.set("KEEP_TARNEL_X", bytes_of("new"));
    env.set("TARNEL_INJECTED", bytes_of("by name"));
    EXPECT_EQ(env.size(), inherited + 1);

    auto result = run_process(ProcessSpec{.program = "env"}, env);
    ASSERT_TRUE(result);
    const std::string printed = "\n" + text(result->out);
    EXPECT_EQ(printed.find("\nTARNEL_VAULT_DIR="), std::string::npos);
    EXPECT_EQ(printed.find("\nTARNEL_PASSPHRASE="), std::string::npos);
    EXPECT_NE(printed.find("\nKEEP_TARNEL_X=new\n"), std::string::npos);
    EXPECT_EQ(printed.find("KEEP_TARNEL_X=kept"), std::string::npos);
    EXPECT_NE(printed.find("\nTARNEL_INJECTED=by name\n"), std::string::npos);
    EXPECT_NE(printed.find("\nPATH="), std::string::npos);
}

}  // namespace
}  // namespace tarnel::core
