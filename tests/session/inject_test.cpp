// inject_run against real vault files and real children: the scope checks
// that come before anything is read or run, the allowlist and confirmation
// gates with their audit trail, what the child's environment holds, masking.

#include "session_fixture.hpp"
#include "wrapper/allowlist.hpp"

namespace tarnel::session {
namespace {

using namespace fixture;

std::string text_of(const wrapper::MaskedText& text) { return std::string(text.joined().expose_secret_chars()); }
std::string out_of(const InjectOutput& output) { return text_of(output.out); }

// /bin/sh -c SCRIPT
SessionResult<InjectOutput> sh(const Session& session, std::string_view refs, std::string_view script,
                               std::string_view env = "dev", OptText project = std::nullopt,
                               OptText client = std::nullopt) {
    return session.inject_run(refs, env, "/bin/sh", {"-c", std::string(script)}, project, client);
}

// Seals the entry as the owner's `tarnel allow` does: canonical, any
// arguments, and only the named variables of the run's own choosing.
void allow(const TempVault& vault, const fs::path& program, std::vector<std::string> variables = {}) {
    const wrapper::AllowEntry entry{fs::canonical(program), {}, true, std::move(variables)};
    ASSERT_TRUE(wrapper::write_allowlist(vault.root(), {entry}, test_key()));
}

// Every coordinate, placeholders resolved and the project argument over the
// file's line, is checked before anything is read or run; one out of scope
// refuses the whole file (a scope without inject: tests/python/test_inject.py).
// The output shows, upper-cased past the masking, which record reached the
// child.
TEST(InjectScope, EveryCoordinateIsCheckedBeforeAnythingRuns) {
    const auto dev_only = scope_of({Operation::Inject}, std::nullopt, Names{"dev"});
    const auto billing_only = scope_of({Operation::Inject}, Names{"billing"});
    // scope, refs, environment, project argument, the child's output or the refusal
    const std::tuple<core::AgentScope, std::string_view, std::string_view, OptText, std::string> cases[] = {
        {dev_only, "A=${env:HOME}\nDB=secret:${ENV}/app/db\n", "dev", std::nullopt, "DEV-DB"},
        {dev_only, "A=${env:HOME}\nDB=secret:${ENV}/app/db\n", "prod", std::nullopt, "not addressable"},
        {dev_only, "DB=secret:dev/app/db\nP=secret:prod/app/db\n", "dev", std::nullopt, "not addressable"},
        {billing_only, "project = shop\nDB=secret:dev/app/db\n", "dev", std::nullopt, "not addressable"},
        {billing_only, "project = shop\nDB=secret:dev/app/db\n", "dev", "billing", "BILLING-DB"},
    };
    TempVault vault;
    vault.put(literal("dev/app/db", "dev-db"));
    vault.put(literal("prod/app/db", "prod-db"));
    vault.put(literal("dev/app/db", "billing-db"), "billing");
    vault.put(literal("dev/app/db", "shop-db"), "shop");
    const fs::path marker = vault.base() / "ran";
    for (const auto& [scope, refs, env, project, expected] : cases) {
        SCOPED_TRACE(std::string(refs) + " in " + std::string(env));
        const std::size_t audited = vault.audit_words().size();
        auto ran = sh(vault.session(scope), refs, "touch " + marker.string() + "; printf %s \"$DB\" | tr a-z A-Z", env,
                      project);
        EXPECT_EQ(ran ? out_of(*ran) : ran.error().message(), expected);
        EXPECT_EQ(fs::remove(marker), ran.has_value());
        EXPECT_EQ(vault.audit_words().size(), audited + (ran ? 1 : 0));  // inject/injected
    }
}

// Guards: TARNEL_ variables of the caller reached the child's environment.
TEST(InjectChild, GetsTheValuesMaskedButNotTheVaultsSettings) {
    TempVault vault;
    vault.put(literal("dev/app/token", "token-value-123"));
    const Session session = vault.session();
    ScopedEnv passphrase("TARNEL_PASSPHRASE", "the-vault-passphrase"), other("TARNEL_ANYTHING", "x"),
        plain("PLAIN_SETTING", "plain-value");
    auto run = sh(session,
                  "TOKEN=secret:dev/app/token\nGREETING=hello world\nPLAIN=${env:PLAIN_SETTING}\n"
                  "LEAK=${env:TARNEL_PASSPHRASE | withheld}\nTARNEL_INJECTED=by-name\n",
                  "printf '%s|%s|%s|%s|%s|' \"$TOKEN\" \"$GREETING\" \"$PLAIN\" \"$LEAK\" \"$TARNEL_INJECTED\";"
                  "printf %s \"$TOKEN\" >&2; env | grep -c '^TARNEL_' >&2; exit 3");
    ASSERT_TRUE(run) << run.error().message();
    // Only vault values are masked; literals and the caller's variables are the agent's own knowledge.
    EXPECT_EQ(out_of(*run), "***|hello world|plain-value|withheld|by-name|");
    EXPECT_EQ(text_of(run->err), "***1\n");  // TARNEL_INJECTED only
    EXPECT_EQ(run->status, 3);
    EXPECT_EQ(vault.audit_words(), (Words{"inject/injected"}));
}

// Guards: a missing record's fallback passed the gate as a vault value, and the request named the link run.
// A production value needs an allowlisted program, a high one also a human;
// a variable whose value the caller chose (a literal, a missing record's
// fallback) needs the entry's word; the human sees the whole run.
TEST(InjectGates, TheAllowlistAndTheHumanAdmitTheRunTheyWereShown) {
    TempVault vault;
    vault.put(literal("prod/app/db", "prod-medium-value", Sensitivity::Medium));
    vault.put(literal("dev/app/key", "dev-high-value-1", Sensitivity::High));
    vault.put(literal("dev/app/other", "dev-high-value-2", Sensitivity::High));
    vault.put(literal("dev/app/cfg", "/owner/cfg"));
    const fs::path link = vault.base() / "shell";
    fs::create_symlink("/bin/sh", link);
    const std::string shell = fs::canonical("/bin/sh").string();
    const auto not_permitted = [&](std::string_view name) {
        return "`" + std::string(name) + "` is set by the run, and the allowlist entry for `" + shell +
               "` does not permit it; high/prod injection refused (I15)";
    };
    auto confirmer = answering(Decision::Approved);
    const Session session = vault.session(all_operations(), confirmer);
    const std::string prod = "DB=secret:prod/app/db\n";
    EXPECT_EQ(sh(session, prod, "true", "prod").error().message(),
              "`" + shell + "` is not on the executor allowlist; high/prod injection refused (I15)");

    allow(vault, link, {"L"});  // the entry names the link's target, the run the link
    auto listed = sh(session, prod, "printf %s \"$DB\"", "prod");
    ASSERT_TRUE(listed) << listed.error().message();
    EXPECT_EQ(out_of(*listed), "***");
    EXPECT_EQ(confirmer->seen.size(), 0U);  // medium in prod: the allowlist alone
    EXPECT_EQ(sh(session, prod + "BASH_ENV=/tmp/x\n", "true", "prod").error().message(), not_permitted("BASH_ENV"));
    EXPECT_TRUE(sh(session, "K=secret:dev/app/key\nCFG=secret:dev/app/cfg | /agent/cfg\n", "true"));
    EXPECT_EQ(sh(session, "K=secret:dev/app/key\nCFG=secret:dev/none/cfg | /agent/cfg\n", "true").error().message(),
              not_permitted("CFG"));
    EXPECT_EQ(vault.audit_words(), (Words{"deny/denied:not-allowlisted", "inject/injected",
                                          "deny/denied:variable-not-allowlisted", "approve/approved", "inject/injected",
                                          "inject/injected", "deny/denied:variable-not-allowlisted"}));

    allow(vault, "/bin/sh", {"LD_PRELOAD", "H", "CFG"});
    auto high = session.inject_run(
        "K=secret:dev/app/key\nO=secret:dev/app/other\nLD_PRELOAD=/nonexistent/x.so\nH=${env:HOME}\n"
        "CFG=secret:dev/none/cfg | /agent/cfg\n",
        "dev", link.string(), {"-c", "echo \"$K $O\""}, std::nullopt, "agent-host/7");
    ASSERT_TRUE(high) << high.error().message();
    EXPECT_EQ(out_of(*high), "*** ***\n");
    ASSERT_EQ(confirmer->seen.size(), 2U);
    const core::ConfirmRequest asked = confirmer->seen.back();
    EXPECT_EQ(std::tie(asked.coordinate, asked.sensitivity, asked.environment, asked.requesting_process),
              std::tuple("dev/app/key, dev/app/other", Sensitivity::High, "dev", "agent-host/7"));
    EXPECT_EQ(asked.resolved_command, shell + " -c echo \"$K $O\"");
    using Source = core::ShownVariable::Source;
    // clang-format off: one case a row
    EXPECT_EQ(asked.run, (core::RunDetail{shell, {"-c", "echo \"$K $O\""}, fs::current_path().string(), {
        {"K", Source::Vault, "dev/app/key", Sensitivity::High, std::nullopt},
        {"O", Source::Vault, "dev/app/other", Sensitivity::High, std::nullopt},
        {"LD_PRELOAD", Source::Literal, "/nonexistent/x.so", std::nullopt, std::nullopt},
        {"H", Source::Env, "HOME", std::nullopt, std::nullopt},
        {"CFG", Source::Vault, "dev/none/cfg", std::nullopt, "/agent/cfg"}}}));
    // clang-format on

    // Whatever stops the human's approval stops the run, each audited as itself.
    const fs::path marker = vault.base() / "ran";
    for (const auto& [decision, refusal, audit] : {std::tuple{Decision::Denied, "denied", "deny/denied"},
                                                   std::tuple{Decision::TimedOut, "timed out", "timeout/timeout"},
                                                   std::tuple{Decision::Forged, "denied", "deny/forged-approval"}}) {
        auto ran = sh(vault.session(all_operations(), answering(decision)), "K=secret:dev/app/key\n",
                      "touch " + marker.string());
        EXPECT_EQ(ran ? "" : ran.error().message(),
                  "confirmation " + std::string(refusal) + "; high/prod injection refused");
        EXPECT_EQ(vault.audit_words().back(), audit);
    }
    EXPECT_FALSE(fs::exists(marker));
}

// What exec would cut short is refused.
TEST(InjectChild, ValuesAndArgumentsWithANulByteAreRefused) {
    TempVault vault;
    vault.put(literal("dev/app/blob", std::string("before\0after", 12)));
    const Session session = vault.session();
    EXPECT_EQ(sh(session, "B=secret:dev/app/blob\n", "true").error().message(),
              "failed to launch child process: value for `B` contains a NUL byte and cannot be injected");
    EXPECT_EQ(session.inject_run("", "dev", "/bin/echo", {std::string("a\0b", 3)}, std::nullopt, std::nullopt)
                  .error()
                  .message(),
              "failed to launch child process: launch /bin/echo: nul byte found in provided data");
}

// A run's events are written in one go, as the very lines one write per
// event gave before (the bytes below are that build's, for this run).
TEST(InjectAudit, ARunWritesTheLinesItAlwaysWrote) {
    TempVault vault;
    for (const char* key : {"a", "b", "c"})
        vault.put(literal(std::string("dev/app/") + key, "value-of-" + std::string(key)));
    const Session session = vault.session(Principal::agent(all_operations()), nullptr, 5s,
                                          std::make_shared<testing::FixedClock>(1767322800));
    ASSERT_TRUE(sh(session, "A=secret:dev/app/a\nPLAIN=text\nB=secret:dev/app/b\nC=secret:dev/app/c\n", "true"));
    const std::string line = R"({"ts":"2026-01-02T03:00:00Z","action":"inject","coordinate":"dev/app/)";
    const std::string tail = R"(","environment":"dev","result":"injected","origin":"agent"})";
    EXPECT_EQ(read_file(vault.root() / "audit.log"),
              line + "a" + tail + "\n" + line + "b" + tail + "\n" + line + "c" + tail + "\n");
}

}  // namespace
}  // namespace tarnel::session
