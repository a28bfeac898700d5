// The foreground runner: the same environment as the capturing one, and a
// launch failure that says whether the program was there at all.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <string>
#include <variant>

#include "core/model/secret.hpp"
#include "wrapper/runner.hpp"

namespace tarnel::wrapper {
namespace {

Command shell(std::string script) {
    Command command{"/bin/sh", {"-c", std::move(script)}, {}, true};
    command.env.emplace_back("TOKEN", core::SecretValue::from_text("tok en"));
    return command;
}

TEST(SystemPassthroughRunner, InjectsThePairsAndWithholdsTheVaultSettings) {
    ASSERT_EQ(::setenv("TARNEL_PASSPHRASE", "hunter2", 1), 0);
    auto ran = SystemPassthroughRunner().run(
        shell(R"(test "$TOKEN" = "tok en" && test -z "${TARNEL_PASSPHRASE+set}" && exit 5; exit 1)"));
    ::unsetenv("TARNEL_PASSPHRASE");
    ASSERT_TRUE(ran);
    EXPECT_EQ(ran->code, 5);
    EXPECT_TRUE(ran->out.empty() && ran->err.empty());

    auto killed = SystemPassthroughRunner().run(shell("kill -HUP $$"));
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->signal, SIGHUP);
}

TEST(SystemPassthroughRunner, LaunchFailuresCarryTheSystemsReason) {
    auto missing = SystemPassthroughRunner().run(Command{"no-such-program-here", {}, {}, true});
    ASSERT_FALSE(missing);
    const auto* launch = std::get_if<failure::Launch>(&missing.error().kind());
    ASSERT_NE(launch, nullptr);
    EXPECT_EQ(launch->error_number, ENOENT);
    EXPECT_EQ(missing.error().display(),
              "failed to launch child process: launch no-such-program-here: No such file or directory (os error 2)");

    // Refused before any start: no errno to report.
    Command binary = shell("exit 0");
    binary.env.emplace_back("BAD", core::SecretValue::from_text("\xff"));
    auto refused = SystemPassthroughRunner().run(binary);
    ASSERT_FALSE(refused);
    EXPECT_EQ(std::get<failure::Launch>(refused.error().kind()).error_number, 0);
}

}  // namespace
}  // namespace tarnel::wrapper
