// Coordinates, the policy's rules and the wipe-on-drop value. That any parsed
// coordinate prints back as its text, names its canonical path and storage id,
// and takes an environment, is fuzz/coordinate_fuzz.cpp's work.

#include "core/model/coordinate.hpp"

#include <algorithm>

#include "core/model/policy.hpp"
#include "core/model/secret.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using tarnel::testing::coordinate;

TEST(Coordinate, FailsWithTheFirstBrokenRule) {
    const std::string p = "invalid coordinate URI: ";
    const std::string fragment = p + "unknown coordinate fragment `#";
    const std::pair<std::string_view, std::string> cases[] = {
        {" secret:dev/app/db", p + "must start with `secret:`"},
        {"secret:dev/app/db#Public", fragment + "Public` (only `#public`/`#private` are valid)"},
        // The fragment is judged before the scope form and the segments.
        {"secret://team/x#bad", fragment + "bad` (only `#public`/`#private` are valid)"},
        {"secret://global", p + "scope form requires `//<authority>/<path>`"},
        {"secret://team/dev/app/db", p + "only `//global/` scope selector is supported"},
        {"secret:dev/app/db/extra", p + "coordinate must have exactly three segments"},
        {"secret:dev//db", p + "segments must be non-empty"},
        {"secret:dev-${X}/app/db", p + "only `${ENV}` interpolation is allowed in the environment segment"},
        {"secret:dev/app/${X}", p + "interpolation is not allowed in the key segment"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(Coordinate::from_str(text).error().display(), expected);
}

AgentScope open_scope() {
    return AgentScope{ScopeFilter::any(),
                      ScopeFilter::any(),
                      {Operation::Metadata, Operation::Inject, Operation::Reveal, Operation::Write}};
}

struct Ask {
    const char* coordinate;
    Sensitivity sensitivity;
    Surface surface;
    bool revealable = true;
    bool attended = false;
    Operation operation = Operation::Reveal;
};

PolicyDecision ask(const Ask& a, const AgentScope& scope = open_scope()) {
    return decide(AccessRequest{std::nullopt, coordinate(a.coordinate), a.sensitivity, a.operation, a.surface,
                                a.revealable, a.attended},
                  scope);
}

// Every row of the reveal table, for every sensitivity.
TEST(Decide, RevealTable) {
    using S = Sensitivity;
    using D = PolicyDecision;
    const D allow = D::allow(), confirm = D::require_confirmation(), mcp = D::deny(DenyReason::McpCriticalForbidden),
            web = D::deny(DenyReason::WebUiCriticalMasked), agent_ctx = D::deny(DenyReason::ProdRevealIntoAgentContext),
            never = D::deny(DenyReason::InjectOnlyNeverRevealed);
    const std::tuple<const char*, Surface, bool, D, D> rows[] = {
        {"secret:prod/a/b", Surface::Mcp, false, mcp, mcp},
        {"secret:prod/a/b", Surface::WebUi, false, allow, web},
        {"secret:prod/a/b", Surface::Cli, true, confirm, confirm},
        {"secret:prod/a/b", Surface::Cli, false, agent_ctx, agent_ctx},
        {"secret:dev/a/b", Surface::Mcp, false, allow, mcp},
        {"secret:Prod/a/b", Surface::Mcp, false, allow, mcp},
        {"secret:dev/a/b", Surface::WebUi, false, allow, web},
        {"secret:dev/a/b", Surface::Cli, false, allow, confirm},
    };
    for (const auto& [at, surface, attended, low, high] : rows) {
        for (const S level : {S::Low, S::Medium, S::High, S::InjectOnly}) {
            const D expected = level == S::InjectOnly ? never : level == S::High ? high : low;
            EXPECT_EQ(ask({at, level, surface, true, attended}), expected)
                << at << " surface " << static_cast<int>(surface) << " level " << static_cast<int>(level);
        }
    }
    // The revealable flag only matters to an agent outside production.
    EXPECT_EQ(ask({"secret:dev/a/b", S::Low, Surface::Mcp, false}), D::deny(DenyReason::NotRevealable));
    EXPECT_EQ(ask({"secret:dev/a/b", S::Low, Surface::Cli, false}), allow);
    EXPECT_EQ(ask({"secret:prod/a/b", S::Low, Surface::Mcp, false}), mcp);
}

TEST(AgentScope, AddressesOnlyItsEnvironmentsAndProjectsExactlyAndPermitsOnlyItsOperations) {
    AgentScope scope = open_scope();
    scope.environments = ScopeFilter::only({"dev"});
    EXPECT_TRUE(scope.addresses(coordinate("secret:dev/app/db"), std::nullopt));
    for (const char* other : {"secret:prod/app/db", "secret:Dev/app/db", "secret:${ENV}/app/db"}) {
        EXPECT_FALSE(scope.addresses(coordinate(other), std::nullopt)) << other;
    }
    scope.projects = ScopeFilter::only({"alpha"});
    EXPECT_TRUE(scope.addresses(coordinate("secret:dev/app/db"), "alpha"));
    for (const auto project : std::initializer_list<std::optional<std::string_view>>{std::nullopt, "beta", "Alpha"}) {
        EXPECT_FALSE(scope.addresses(coordinate("secret:dev/app/db"), project)) << project.value_or("global");
    }
    // Other operations; what a scope permits is asked first.
    using S = Sensitivity;
    const auto on_mcp = [](S level, Operation op) {
        return ask({"secret:prod/a/b", level, Surface::Mcp, false, false, op});
    };
    EXPECT_EQ(on_mcp(S::High, Operation::Inject), PolicyDecision::require_confirmation());
    EXPECT_EQ(on_mcp(S::InjectOnly, Operation::Inject), PolicyDecision::allow());
    EXPECT_EQ(on_mcp(S::High, Operation::Metadata), PolicyDecision::allow());
    const AgentScope no_reveal{ScopeFilter::any(), ScopeFilter::any(), {Operation::Metadata}};
    EXPECT_EQ(ask({"secret:dev/a/b", S::Low, Surface::Mcp}, no_reveal), PolicyDecision::not_addressable());
}

// Stored words are exact; what people and agents type is normalised first
// (tests/python/test_session.py, test_cli.py).
TEST(Rules, StoredWordsAreExactTypedOnesNormalisedAndProductionIsBornHigh) {
    EXPECT_EQ(sensitivity_from_word("inject-only"), Sensitivity::InjectOnly);
    for (std::string_view bad : {"Low", "inject_only", "low "}) EXPECT_EQ(sensitivity_from_word(bad), std::nullopt);
    EXPECT_EQ(parse_sensitivity("injectOnly"), Sensitivity::InjectOnly);
    // Only ASCII letters fold; other bytes are kept as typed.
    EXPECT_EQ(parse_sensitivity("L\xC3\x96W").error(),
              "unknown sensitivity `l\xC3\x96w` (expected low|medium|high|inject-only)");
    using S = Sensitivity;
    // Production is born high and only high downgrades need a human.
    EXPECT_EQ(born_sensitivity(coordinate("secret:prod/app/db"), S::InjectOnly), S::High);
    EXPECT_EQ(born_sensitivity(coordinate("secret:Prod/app/db"), S::Low), S::Low);
    EXPECT_EQ(born_sensitivity(coordinate("secret:dev/app/db"), S::InjectOnly), S::InjectOnly);
    EXPECT_TRUE(downgrade_needs_confirmation(S::High, S::Medium));
    EXPECT_TRUE(downgrade_needs_confirmation(S::InjectOnly, S::High));
    EXPECT_FALSE(downgrade_needs_confirmation(S::Medium, S::Low) ||
                 downgrade_needs_confirmation(S::Low, S::InjectOnly));
    // A reference is not revealed over MCP and only a reference takes reference edits; the keypair's
    // and TOTP's refusals reach the user through tarnel (tests/python/test_cli_kinds.py).
    const RecordKind reference = ReferenceRecord{"aws-sm://eu-west-1/db"};
    EXPECT_EQ(reveal_refusal(LiteralRecord{SecretValue::from_text("v")}), std::nullopt);
    EXPECT_EQ(reveal_refusal(reference), "reference value is materialized at run time, not revealable over MCP");
    EXPECT_EQ(overwrite_refusal(reference, "secret:dev/a/b"), std::nullopt);
    EXPECT_EQ(reference_edit_refusal(reference), std::nullopt);
    EXPECT_EQ(reference_edit_refusal(LiteralRecord{}), "`reference` edits a reference secret; this is a literal");
}

static_assert(!std::is_copy_constructible_v<SecretValue>);

TEST(SecretValue, TakingEmptiesTheSourceAndTruncatingZeroesTheTail) {
    std::string source = "hunter2-long-enough-to-be-on-the-heap";
    const auto taken = SecretValue::take(std::move(source));
    EXPECT_EQ(taken.expose_secret_chars(), "hunter2-long-enough-to-be-on-the-heap");
    EXPECT_TRUE(source.empty());
    SecretValue value;
    for (int i = 0; i < 1000; ++i) value.push_back(static_cast<std::uint8_t>(i));
    const auto* tail = value.expose_secret().data() + 10;
    value.truncate(10);
    // The dropped bytes are still inside the allocation and must read as zero.
    EXPECT_TRUE(std::all_of(tail, tail + 990, [](std::uint8_t b) { return b == 0; }));
}

// Guards: SecretValue::zeroed(0) handed memset a null pointer (the sanitizer build stopped on it).
TEST(SecretValue, ZeroedOfNothingIsEmpty) { EXPECT_TRUE(SecretValue::zeroed(0).expose_secret().empty()); }

}  // namespace
}  // namespace tarnel::core
