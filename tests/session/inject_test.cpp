// inject_run against real vault files and real children: the scope checks
// that come before anything is read, the allowlist and confirmation gates
// with their audit trail, what the child's environment holds, and masking.

#include <gtest/gtest.h>

#include <csignal>

#include "session_fixture.hpp"
#include "wrapper/allowlist.hpp"

namespace tarnel::session {
namespace {

using namespace fixture;
using core::Decision;
using core::Operation;
using core::Sensitivity;
using Words = std::vector<std::string>;

// Remembers the request it was shown.
class RecordingConfirmer final : public core::Confirmer {
public:
    explicit RecordingConfirmer(Decision answer) : answer_(answer) {}
    Decision confirm(const core::ConfirmRequest& request, std::chrono::milliseconds) const override {
        std::lock_guard guard(mutex_);
        seen_.push_back(request);
        return answer_;
    }
    std::vector<core::ConfirmRequest> seen() const {
        std::lock_guard guard(mutex_);
        return seen_;
    }

private:
    Decision answer_;
    mutable std::mutex mutex_;
    mutable std::vector<core::ConfirmRequest> seen_;
};

std::string out_of(const InjectOutput& output) { return std::string(output.out.expose_secret_chars()); }
std::string err_of(const InjectOutput& output) { return std::string(output.err.expose_secret_chars()); }

const std::vector<std::string> kNoArgs;

// /bin/sh -c SCRIPT
SessionResult<InjectOutput> sh(const Session& session, std::string_view refs, std::string_view script,
                               std::string_view env = "dev", OptText project = std::nullopt,
                               OptText client = std::nullopt) {
    return session.inject_run(refs, env, "/bin/sh", {"-c", std::string(script)}, project, client);
}

class InjectTest : public ::testing::Test {
protected:
    TempVault vault;
    // Seals the entry as the owner's `tarnel allow` does: canonical, any arguments, and
    // only the named variables of the run's own choosing.
    void allow(const fs::path& program, std::vector<std::string> variables = {}) const {
        const wrapper::AllowEntry entry{fs::canonical(program), {}, true, std::move(variables)};
        if (!wrapper::write_allowlist(vault.root(), {entry}, test_key())) throw std::runtime_error("allowlist not written");
    }
};

TEST_F(InjectTest, ScopeChecksComeBeforeAnythingIsReadOrRun) {
    vault.put(literal("dev/app/db", "dev-db-value"));
    vault.put(literal("prod/app/db", "prod-db-value"));
    const fs::path marker = vault.base() / "ran";
    const std::string touch = "touch " + marker.string();

    // Without the operation even an empty file is not addressable.
    auto no_inject = vault.session(scope_of({Operation::Metadata, Operation::Reveal}));
    auto refused = sh(no_inject, "", touch);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(is_not_found(refused.error()));

    const auto dev_only = scope_of({Operation::Inject}, std::nullopt, std::set<std::string, std::less<>>{"dev"});
    auto session = vault.session(dev_only);
    // The placeholder is checked as the coordinate it becomes.
    const std::string refs = "A=${env:HOME}\nDB=secret:${ENV}/app/db\n";
    auto in_prod = sh(session, refs, touch, "prod");
    ASSERT_FALSE(in_prod);
    EXPECT_TRUE(is_not_found(in_prod.error()));
    // One bad coordinate anywhere refuses the file, however many good ones precede it.
    auto mixed = sh(session, "DB=secret:dev/app/db\nP=secret:prod/app/db\n", touch);
    ASSERT_FALSE(mixed);
    EXPECT_TRUE(is_not_found(mixed.error()));
    auto short_coordinate = sh(session, "DB=secret:dev/app\n", touch);
    ASSERT_FALSE(short_coordinate);
    EXPECT_EQ(short_coordinate.error().message(),
              "invalid coordinate URI: coordinate must have exactly three segments");
    auto bad_file = sh(session, "# one\n\nnot a line\n", touch);
    ASSERT_FALSE(bad_file);
    EXPECT_EQ(bad_file.error().message(), "env-refs error: line 3: expected `NAME=<source>` or `project = <name>`");

    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(vault.audit_bytes(), "");

    auto in_dev = sh(session, refs, "printf %s \"$DB\"", "dev");
    ASSERT_TRUE(in_dev) << in_dev.error().message();
    EXPECT_EQ(out_of(*in_dev), "***");
}

TEST_F(InjectTest, TheProjectArgumentWinsOverTheFilesProjectLine) {
    vault.put(literal("dev/app/db", "from-billing"), "billing");
    vault.put(literal("dev/app/db", "from-shop"), "shop");
    const auto billing_only = scope_of({Operation::Inject}, std::set<std::string, std::less<>>{"billing"});
    auto session = vault.session(billing_only);
    const std::string refs = "project = shop\nDB=secret:dev/app/db\n";
    const std::string script = "[ \"$DB\" = from-billing ] && echo billing";

    auto by_file = sh(session, refs, script);
    ASSERT_FALSE(by_file);
    EXPECT_TRUE(is_not_found(by_file.error()));
    auto by_argument = sh(session, refs, script, "dev", "billing");
    ASSERT_TRUE(by_argument) << by_argument.error().message();
    EXPECT_EQ(out_of(*by_argument), "billing\n");
    EXPECT_EQ(by_argument->status, 0);
}

TEST_F(InjectTest, TheChildGetsTheValuesButNotTheVaultsSettings) {
    vault.put(literal("dev/app/token", "token-value-123"));
    auto session = vault.session();
    ScopedEnv passphrase("TARNEL_PASSPHRASE", "the-vault-passphrase");
    ScopedEnv other("TARNEL_ANYTHING", "x");
    ScopedEnv plain("PLAIN_SETTING", "plain-value");

    const std::string refs =
        "TOKEN=secret:dev/app/token\n"
        "GREETING=hello world\n"
        "PLAIN=${env:PLAIN_SETTING}\n"
        "LEAK=${env:TARNEL_PASSPHRASE | withheld}\n"
        "TARNEL_INJECTED=by-name\n";
    auto run = sh(session, refs,
                  "printf '%s|%s|%s|%s|%s|' \"$TOKEN\" \"$GREETING\" \"$PLAIN\" \"$LEAK\" \"$TARNEL_INJECTED\";"
                  "env | grep -c '^TARNEL_' >&2; exit 3");
    ASSERT_TRUE(run) << run.error().message();
    // Only vault values are masked; literals and the caller's variables are
    // the agent's own knowledge.
    EXPECT_EQ(out_of(*run), "***|hello world|plain-value|withheld|by-name|");
    EXPECT_EQ(err_of(*run), "1\n");  // TARNEL_INJECTED only
    EXPECT_EQ(run->status, 3);
    EXPECT_EQ(vault.audit_words(), (Words{"inject/injected"}));

    // A value printed on one stream alone is masked there.
    auto err_only = sh(session, "TOKEN=secret:dev/app/token\n", "printf '%s' \"$TOKEN\" >&2");
    ASSERT_TRUE(err_only) << err_only.error().message();
    EXPECT_EQ(out_of(*err_only), "");
    EXPECT_EQ(err_of(*err_only), "***");

    // Without a fallback the withheld variable is simply unset.
    auto unset = sh(session, "P=${env:TARNEL_PASSPHRASE}\n", "true");
    ASSERT_FALSE(unset);
    EXPECT_EQ(unset.error().message(), "env-refs error: `P`: env var `TARNEL_PASSPHRASE` is unset and has no fallback");
}

TEST_F(InjectTest, ProductionNeedsAnAllowlistedProgramAndHighAlsoAHuman) {
    vault.put(literal("prod/app/db", "prod-medium-value", Sensitivity::Medium));
    vault.put(literal("dev/app/key", "dev-high-value-1", Sensitivity::High));
    vault.put(literal("dev/app/other", "dev-high-value-2", Sensitivity::High));
    // The allowlist names a link; the run names its target.
    const fs::path link = vault.base() / "shell";
    fs::create_symlink("/bin/sh", link);
    const fs::path shell = fs::canonical("/bin/sh");

    auto confirmer = std::make_shared<RecordingConfirmer>(Decision::Approved);
    auto session = vault.session(all_operations(), asking(confirmer));
    const std::string prod = "DB=secret:prod/app/db\n";
    auto not_listed = sh(session, prod, "true", "prod");
    ASSERT_FALSE(not_listed);
    EXPECT_EQ(denied_text(not_listed.error()),
              "`" + shell.string() + "` is not on the executor allowlist; high/prod injection refused (I15)");
    EXPECT_EQ(vault.audit_words(), (Words{"deny/denied:not-allowlisted"}));

    allow(link, {"L"});
    auto listed = sh(session, prod, "printf %s \"$DB\"", "prod");
    ASSERT_TRUE(listed) << listed.error().message();
    EXPECT_EQ(out_of(*listed), "***");
    EXPECT_TRUE(confirmer->seen().empty());  // medium in prod: the allowlist alone

    // A literal the entry does not name is the agent's, whatever the program.
    auto chosen = sh(session, prod + "BASH_ENV=/tmp/x\n", "true", "prod");
    ASSERT_FALSE(chosen);
    EXPECT_EQ(denied_text(chosen.error()), "`BASH_ENV` is set by the run, and the allowlist entry for `" +
                                               shell.string() + "` does not permit it; high/prod injection refused (I15)");

    auto high = sh(session, "K=secret:dev/app/key\nO=secret:dev/app/other\nL=plain\n", "echo \"$K $O\"", "dev",
                   std::nullopt, "agent-host/7");
    ASSERT_TRUE(high) << high.error().message();
    EXPECT_EQ(out_of(*high), "*** ***\n");
    const std::vector<core::ConfirmRequest> seen = confirmer->seen();
    ASSERT_EQ(seen.size(), 1U);
    const core::ConfirmRequest& asked = seen.front();
    EXPECT_EQ(asked.coordinate, "dev/app/key, dev/app/other");
    EXPECT_EQ(asked.sensitivity, Sensitivity::High);
    EXPECT_EQ(asked.environment, "dev");
    EXPECT_EQ(asked.resolved_command, shell.string() + " -c echo \"$K $O\"");
    EXPECT_EQ(asked.requesting_process, "agent-host/7");
    EXPECT_EQ(vault.audit_words(), (Words{"deny/denied:not-allowlisted", "inject/injected",
                                          "deny/denied:variable-not-allowlisted", "approve/approved",
                                          "approve/approved", "inject/injected", "inject/injected"}));
}

TEST_F(InjectTest, AHumanWhoRefusesOrDoesNotAnswerStopsTheRun) {
    vault.put(literal("dev/app/key", "dev-high-value", Sensitivity::High));
    allow("/bin/sh");
    const fs::path marker = vault.base() / "ran";
    const std::string touch = "touch " + marker.string();

    auto denying = vault.session(all_operations(), asking(std::make_shared<RecordingConfirmer>(Decision::Denied)));
    auto denied = sh(denying, "K=secret:dev/app/key\n", touch);
    ASSERT_FALSE(denied);
    EXPECT_EQ(denied_text(denied.error()), "confirmation denied; high/prod injection refused");

    // The real confirmer, nobody answering within the time-out.
    auto waiting = vault.session(all_operations(), SessionHooks{.clock = nullptr, .confirmer = nullptr, .confirm_timeout = std::chrono::milliseconds(300)});
    auto timed_out = sh(waiting, "K=secret:dev/app/key\n", touch);
    ASSERT_FALSE(timed_out);
    EXPECT_EQ(denied_text(timed_out.error()), "confirmation timed out; high/prod injection refused");

    // An agent with a shell writes "approved" itself: a forgery, refused.
    auto asking_human = vault.session(all_operations(), SessionHooks{.clock = nullptr, .confirmer = nullptr, .confirm_timeout = std::chrono::seconds(10)});
    {
        ScriptedHuman agent(vault.root() / "pending", "approved");
        auto forged = sh(asking_human, "K=secret:dev/app/key\n", touch);
        ASSERT_FALSE(forged);
        EXPECT_EQ(denied_text(forged.error()), "confirmation denied; high/prod injection refused");
        EXPECT_FALSE(fs::exists(marker));
    }

    // And the owner, who answers through the pending directory with the proof.
    ScriptedHuman human(vault.root() / "pending", std::string(testing::kOwnerApproves));
    auto approved = sh(asking_human, "K=secret:dev/app/key\n", touch);
    ASSERT_TRUE(approved) << approved.error().message();
    ASSERT_TRUE(human.seen());
    EXPECT_NE(human.seen()->second.find("\"coordinate\":\"dev/app/key\""), std::string::npos);

    EXPECT_TRUE(fs::exists(marker));
    EXPECT_EQ(vault.audit_words(),
              (Words{"deny/denied", "timeout/timeout", "deny/forged-approval", "approve/approved", "inject/injected"}));
}

// The owner approves what will run, so the request holds all of it: a
// literal LD_PRELOAD that was the whole attack is there to be seen, the
// program is the file that will start rather than the link the caller
// named, and a missing record's fallback is shown as the caller's text.
TEST_F(InjectTest, ARunsRequestShowsEveryArgumentVariableAndCoordinate) {
    vault.put(literal("dev/app/key", "dev-high-value", Sensitivity::High));
    const fs::path link = vault.base() / "tool";
    fs::create_symlink("/bin/sh", link);
    const fs::path shell = fs::canonical("/bin/sh");
    allow("/bin/sh", {"LD_PRELOAD", "H", "CFG"});
    const auto confirmer = std::make_shared<RecordingConfirmer>(Decision::Denied);
    auto session = vault.session(all_operations(), asking(confirmer));
    const std::string refs =
        "K=secret:dev/app/key\nLD_PRELOAD=/tmp/x.so\nH=${env:HOME}\nCFG=secret:dev/none/cfg | /agent/cfg\n";
    auto denied = session.inject_run(refs, "dev", link.string(), {"-c", "exit 0"}, std::nullopt, std::nullopt);
    ASSERT_FALSE(denied);
    const auto seen = confirmer->seen();
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].resolved_command, shell.string() + " -c exit 0");
    const auto& run = seen[0].run;
    ASSERT_TRUE(run);
    EXPECT_EQ(run->program, shell.string());
    EXPECT_EQ(run->arguments, (std::vector<std::string>{"-c", "exit 0"}));
    EXPECT_EQ(run->working_directory, fs::current_path().string());
    using Source = core::ShownVariable::Source;
    EXPECT_EQ(run->variables,
              (std::vector<core::ShownVariable>{{"K", Source::Vault, "dev/app/key", Sensitivity::High, std::nullopt},
                                                {"LD_PRELOAD", Source::Literal, "/tmp/x.so", std::nullopt, std::nullopt},
                                                {"H", Source::Env, "HOME", std::nullopt, std::nullopt},
                                                {"CFG", Source::Vault, "dev/none/cfg", std::nullopt, "/agent/cfg"}}));
}

// A vault line whose record is missing runs with the caller's fallback text:
// it is the caller's choice of value, so its name needs the entry's word.
TEST_F(InjectTest, AFallbackIsTheCallersChoiceAtTheGate) {
    vault.put(literal("dev/app/key", "dev-high-value", Sensitivity::High));
    vault.put(literal("dev/app/cfg", "/owner/cfg"));
    allow("/bin/sh");
    const auto confirmer = std::make_shared<RecordingConfirmer>(Decision::Approved);
    auto session = vault.session(all_operations(), asking(confirmer));
    const std::string shell = fs::canonical("/bin/sh").string();

    auto found = sh(session, "K=secret:dev/app/key\nCFG=secret:dev/app/cfg | /agent/cfg\n", "true");
    ASSERT_TRUE(found) << found.error().message();
    auto fell_back = sh(session, "K=secret:dev/app/key\nCFG=secret:dev/none/cfg | /agent/cfg\n", "true");
    ASSERT_FALSE(fell_back);
    EXPECT_EQ(denied_text(fell_back.error()), "`CFG` is set by the run, and the allowlist entry for `" + shell +
                                                  "` does not permit it; high/prod injection refused (I15)");
    EXPECT_EQ(confirmer->seen().size(), 1U);
}

TEST_F(InjectTest, HowTheChildEndedIsReportedNotRaised) {
    auto session = vault.session();
    auto killed = sh(session, "", "echo before; kill -KILL $$");
    ASSERT_TRUE(killed) << killed.error().message();
    EXPECT_EQ(killed->status, std::nullopt);
    EXPECT_EQ(out_of(*killed), "before\n");

    auto missing = session.inject_run("", "dev", "/nonexistent/program", kNoArgs, std::nullopt, std::nullopt);
    ASSERT_FALSE(missing);
    EXPECT_EQ(other_text(missing.error()),
              "failed to launch child process: launch /nonexistent/program: No such file or directory (os error 2)");

    // A bare name is looked up on PATH, as a shell would.
    auto by_name = session.inject_run("", "dev", "true", kNoArgs, std::nullopt, std::nullopt);
    ASSERT_TRUE(by_name) << by_name.error().message();
    EXPECT_EQ(by_name->status, 0);
}

TEST_F(InjectTest, ValuesExecWouldCutShortAreRefused) {
    vault.put(literal("dev/app/blob", std::string("before\0after", 12)));
    auto session = vault.session();
    auto nul_value = sh(session, "B=secret:dev/app/blob\n", "true");
    ASSERT_FALSE(nul_value);
    EXPECT_EQ(other_text(nul_value.error()),
              "failed to launch child process: value for `B` contains a NUL byte and cannot be injected");

    auto nul_argument = session.inject_run("", "dev", "/bin/echo", {std::string("a\0b", 3)}, std::nullopt, std::nullopt);
    ASSERT_FALSE(nul_argument);
    EXPECT_EQ(other_text(nul_argument.error()),
              "failed to launch child process: launch /bin/echo: nul byte found in provided data");
    EXPECT_EQ(vault.audit_words(), (Words{"inject/injected"}));
}

}  // namespace
}  // namespace tarnel::session
