#include "core/policy.hpp"

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

}  // namespace
}  // namespace tarnel::core
