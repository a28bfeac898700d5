#include "core/model/policy.hpp"

#include <gtest/gtest.h>

namespace tarnel::core {
namespace {

Coordinate parse(std::string_view text) { return *Coordinate::from_str(text); }

AgentScope open_scope() {
    return AgentScope{ScopeFilter::any(), ScopeFilter::any(),
                      {Operation::Metadata, Operation::Inject, Operation::Reveal, Operation::Write}};
}

TEST(AgentScopeAddresses, FiltersEnvironmentsAndProjects) {
    AgentScope scope = open_scope();
    scope.environments = ScopeFilter::only({"dev"});
    EXPECT_TRUE(scope.addresses(parse("secret:dev/app/db"), std::nullopt));
    EXPECT_FALSE(scope.addresses(parse("secret:prod/app/db"), std::nullopt));
    EXPECT_FALSE(scope.addresses(parse("secret:Dev/app/db"), std::nullopt));
    EXPECT_FALSE(scope.addresses(parse("secret:${ENV}/app/db"), std::nullopt));

    scope.projects = ScopeFilter::only({"alpha"});
    EXPECT_FALSE(scope.addresses(parse("secret:dev/app/db"), std::nullopt)) << "global vault";
    EXPECT_TRUE(scope.addresses(parse("secret:dev/app/db"), "alpha"));
    EXPECT_FALSE(scope.addresses(parse("secret:dev/app/db"), "beta"));
    EXPECT_FALSE(scope.addresses(parse("secret:dev/app/db"), "Alpha"));

    scope.projects = ScopeFilter::only({});
    EXPECT_FALSE(scope.addresses(parse("secret:dev/app/db"), std::nullopt));
    EXPECT_FALSE(scope.addresses(parse("secret:dev/app/db"), "alpha"));
}

TEST(Words, OrderAndExactWords) {
    EXPECT_LT(Sensitivity::Low, Sensitivity::Medium);
    EXPECT_LT(Sensitivity::High, Sensitivity::InjectOnly);
    EXPECT_EQ(sensitivity_from_word("inject-only"), Sensitivity::InjectOnly);
    EXPECT_EQ(sensitivity_word(Sensitivity::InjectOnly), "inject-only");
    EXPECT_EQ(operation_from_word("reveal"), Operation::Reveal);
    EXPECT_EQ(operation_from_word("Reveal"), std::nullopt);
    for (std::string_view bad : {"Low", "inject_only", "HIGH", "", "low "}) {
        EXPECT_EQ(sensitivity_from_word(bad), std::nullopt) << bad;
    }
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
    const auto coordinate = parse(a.coordinate);
    return decide(AccessRequest{std::nullopt, coordinate, a.sensitivity, a.operation, a.surface,
                                a.revealable, a.attended},
                  scope);
}

// Every row of the reveal table, for every sensitivity.
TEST(Decide, RevealTable) {
    using S = Sensitivity;
    using D = PolicyDecision;
    const auto allow = D::allow();
    const auto confirm = D::require_confirmation();
    const auto mcp = D::deny(DenyReason::McpCriticalForbidden);
    const auto web = D::deny(DenyReason::WebUiCriticalMasked);
    const auto agent_ctx = D::deny(DenyReason::ProdRevealIntoAgentContext);
    const auto never = D::deny(DenyReason::InjectOnlyNeverRevealed);
    const auto nr = D::deny(DenyReason::NotRevealable);
    const struct {
        const char* coordinate;
        Surface surface;
        bool attended;
        D low, high, inject_only;
    } rows[] = {
        {"secret:prod/a/b", Surface::Mcp, false, mcp, mcp, never},
        {"secret:prod/a/b", Surface::WebUi, false, allow, web, never},
        {"secret:prod/a/b", Surface::Cli, true, confirm, confirm, never},
        {"secret:prod/a/b", Surface::Cli, false, agent_ctx, agent_ctx, never},
        {"secret:dev/a/b", Surface::Mcp, false, allow, mcp, never},
        {"secret:Prod/a/b", Surface::Mcp, false, allow, mcp, never},
        {"secret:dev/a/b", Surface::WebUi, false, allow, web, never},
        {"secret:dev/a/b", Surface::Cli, false, allow, confirm, never},
        {"secret:production/a/b", Surface::Cli, false, allow, confirm, never},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.coordinate) + " surface " +
                     std::to_string(static_cast<int>(row.surface)));
        EXPECT_EQ(ask({row.coordinate, S::Low, row.surface, true, row.attended}), row.low);
        EXPECT_EQ(ask({row.coordinate, S::Medium, row.surface, true, row.attended}), row.low);
        EXPECT_EQ(ask({row.coordinate, S::High, row.surface, true, row.attended}), row.high);
        EXPECT_EQ(ask({row.coordinate, S::InjectOnly, row.surface, true, row.attended}),
                  row.inject_only);
    }
    // The revealable flag only matters to an agent outside production.
    EXPECT_EQ(ask({"secret:dev/a/b", S::Low, Surface::Mcp, false}), nr);
    EXPECT_EQ(ask({"secret:dev/a/b", S::Medium, Surface::WebUi, false}), allow);
    EXPECT_EQ(ask({"secret:dev/a/b", S::Low, Surface::Cli, false}), allow);
    EXPECT_EQ(ask({"secret:prod/a/b", S::Low, Surface::Mcp, false}), mcp);
    EXPECT_EQ(deny_reason_name(DenyReason::NotRevealable), "NotRevealable");
}

TEST(Decide, OtherOperationsAndScopeGate) {
    using S = Sensitivity;
    EXPECT_EQ(ask({"secret:prod/a/b", S::High, Surface::Mcp, false, false, Operation::Inject}),
              PolicyDecision::require_confirmation());
    EXPECT_EQ(ask({"secret:prod/a/b", S::InjectOnly, Surface::Mcp, false, false, Operation::Inject}),
              PolicyDecision::allow());
    EXPECT_EQ(ask({"secret:prod/a/b", S::InjectOnly, Surface::Mcp, false, false, Operation::Write}),
              PolicyDecision::allow());
    EXPECT_EQ(ask({"secret:prod/a/b", S::High, Surface::Mcp, false, false, Operation::Metadata}),
              PolicyDecision::allow());

    AgentScope dev_only = open_scope();
    dev_only.environments = ScopeFilter::only({"dev"});
    EXPECT_EQ(ask({"secret:prod/a/b", S::Low, Surface::Mcp, true, false, Operation::Metadata},
                  dev_only),
              PolicyDecision::not_addressable());
    AgentScope no_reveal{ScopeFilter::any(), ScopeFilter::any(), {Operation::Metadata}};
    EXPECT_EQ(ask({"secret:dev/a/b", S::Low, Surface::Mcp}, no_reveal),
              PolicyDecision::not_addressable());
}

// The lenient reader people and agents type into; the stored words stay exact.
TEST(Words, TypedSensitivityWordsAreNormalisedBeforeMatching) {
    for (std::string_view word : {"Inject_Only", "injectOnly", "INJECT-ONLY", "inject-only"}) {
        EXPECT_EQ(parse_sensitivity(word), Sensitivity::InjectOnly) << word;
    }
    EXPECT_EQ(parse_sensitivity("HIGH"), Sensitivity::High);
    EXPECT_EQ(parse_sensitivity("Secret_Word").error(),
              "unknown sensitivity `secret-word` (expected low|medium|high|inject-only)");
    // Only ASCII letters fold; other bytes are kept as typed.
    EXPECT_EQ(parse_sensitivity("L\xC3\x96W").error(),
              "unknown sensitivity `l\xC3\x96w` (expected low|medium|high|inject-only)");
}

TEST(Rules, ProductionIsBornHighAndOnlyHighDowngradesNeedAHuman) {
    EXPECT_EQ(born_sensitivity(parse("secret:prod/app/db"), Sensitivity::Low), Sensitivity::High);
    EXPECT_EQ(born_sensitivity(parse("secret:prod/app/db"), Sensitivity::InjectOnly), Sensitivity::High);
    EXPECT_EQ(born_sensitivity(parse("secret:Prod/app/db"), Sensitivity::Low), Sensitivity::Low);
    EXPECT_EQ(born_sensitivity(parse("secret:dev/app/db"), Sensitivity::InjectOnly), Sensitivity::InjectOnly);

    using S = Sensitivity;
    EXPECT_TRUE(downgrade_needs_confirmation(S::High, S::Medium));
    EXPECT_TRUE(downgrade_needs_confirmation(S::InjectOnly, S::High));
    EXPECT_FALSE(downgrade_needs_confirmation(S::Medium, S::Low));
    EXPECT_FALSE(downgrade_needs_confirmation(S::High, S::High));
    EXPECT_FALSE(downgrade_needs_confirmation(S::Low, S::InjectOnly));
}

TEST(Rules, EachKindHasItsOwnRefusals) {
    const RecordKind literal = LiteralRecord{SecretValue::from_text("v")};
    const RecordKind reference = ReferenceRecord{"aws-sm://eu-west-1/db"};
    const RecordKind keypair = KeypairRecord{KeyAlgorithm::Ed25519, std::nullopt, "ssh-ed25519 AAAA"};
    const RecordKind totp = TotpRecord{SecretValue::from_text("seed"), TotpAlgorithm::Sha1, 6, 30};

    EXPECT_EQ(reveal_refusal(literal), std::nullopt);
    EXPECT_EQ(reveal_refusal(reference), "reference value is materialized at run time, not revealable over MCP");
    EXPECT_TRUE(reveal_refusal(keypair)->starts_with("a keypair's private key is never revealed"));
    EXPECT_TRUE(reveal_refusal(totp)->starts_with("a TOTP seed is never revealed"));

    EXPECT_EQ(overwrite_refusal(literal, "secret:dev/a/b"), std::nullopt);
    EXPECT_EQ(overwrite_refusal(reference, "secret:dev/a/b"), std::nullopt);
    EXPECT_EQ(overwrite_refusal(keypair, "secret:dev/a/b"),
              "`secret:dev/a/b` is a keypair; it cannot be overwritten with `set`");
    EXPECT_EQ(overwrite_refusal(totp, "secret:dev/a/b"),
              "`secret:dev/a/b` is a TOTP enrollment; it cannot be overwritten with `set`");

    EXPECT_EQ(reference_edit_refusal(reference), std::nullopt);
    EXPECT_EQ(reference_edit_refusal(literal), "`reference` edits a reference secret; this is a literal");
    EXPECT_EQ(reference_edit_refusal(keypair), "`reference` edits a reference secret; this is a keypair");
    EXPECT_EQ(reference_edit_refusal(totp), "`reference` edits a reference secret; this is a TOTP enrollment");
}

}  // namespace
}  // namespace tarnel::core
