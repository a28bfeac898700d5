// The same session serving a human at a terminal: the reveal policy's
// terminal column, confirmations asked of the human at the surface, and
// every trace the session leaves naming the human as its origin.

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "core/oversight/intake.hpp"
#include "session_fixture.hpp"

namespace tarnel::session {
namespace {

using namespace fixture;
using core::Decision;
using core::Sensitivity;
using Words = std::vector<std::string>;

using tarnel::testing::FixedClock;

constexpr std::uint64_t kNow = 1767322800;  // 2026-01-02T03:00:00Z

Session open_as(const TempVault& vault, Principal principal, std::shared_ptr<const core::Confirmer> confirmer,
                std::shared_ptr<const core::Clock> clock = nullptr) {
    return vault.session_as(std::move(principal), SessionHooks{.clock = std::move(clock),
                                                               .confirmer = std::move(confirmer),
                                                               .confirm_timeout = std::chrono::seconds(5)});
}

// Every "origin" in the audit log.
std::set<std::string> audit_origins(const TempVault& vault) {
    std::set<std::string> origins;
    std::istringstream in(vault.audit_bytes());
    for (std::string line; std::getline(in, line);) {
        rapidjson::Document doc;
        doc.Parse(line.c_str());
        if (doc.IsObject() && doc.HasMember("origin")) origins.insert(doc["origin"].GetString());
    }
    return origins;
}

TEST(HumanRevealTest, TheTerminalColumnDecidesAndOnlyAnAttendedHumanIsAsked) {
    struct Case {
        const char* name;
        Principal principal;
        std::string_view at;
        Sensitivity level;
        bool revealable;
        Decision answer;
        std::optional<std::string_view> refusal;  // nullopt: the value is returned
        int asked;
        Words audit;
    };
    const Case cases[] = {
        {"human, high, approved", Principal::human(all_operations(), true), "dev/app/token", Sensitivity::High,
         false, Decision::Approved, std::nullopt, 1, {"approve/approved-reveal", "reveal/revealed"}},
        {"human, prod, denied", Principal::human(all_operations(), true), "prod/app/token", Sensitivity::Low, true,
         Decision::Denied, "reveal not confirmed", 1, {"deny/denied-reveal"}},
        {"human, high, no answer", Principal::human(all_operations(), true), "dev/app/token", Sensitivity::High,
         true, Decision::TimedOut, "reveal not confirmed", 1, {"timeout/timeout-reveal"}},
        // The flag matters only to agents; nobody is asked below high.
        {"human, medium, not revealable", Principal::human(all_operations(), true), "dev/app/token",
         Sensitivity::Medium, false, Decision::Denied, std::nullopt, 0, {"reveal/revealed"}},
        {"human, prod, unattended", Principal::human(all_operations(), false), "prod/app/token", Sensitivity::Low,
         true, Decision::Approved, "ProdRevealIntoAgentContext", 0, {"deny/denied"}},
        {"human, high, unattended", Principal::human(all_operations(), false), "dev/app/token", Sensitivity::High,
         true, Decision::Approved, "reveal requires attended confirmation (not available over MCP)", 0, {}},
        {"agent, high", Principal::agent(all_operations()), "dev/app/token", Sensitivity::High, true,
         Decision::Approved, "McpCriticalForbidden", 0, {"deny/denied"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempVault vault;
        vault.put(literal(c.at, "the value", c.level, c.revealable));
        auto human = std::make_shared<MockConfirmer>(c.answer);
        const bool is_human = c.principal.actor == core::Actor::Human;
        Session session = open_as(vault, c.principal, human);

        auto revealed = session.reveal("secret:" + std::string(c.at), std::nullopt);
        if (c.refusal) {
            ASSERT_FALSE(revealed);
            EXPECT_EQ(denied_text(revealed.error()), *c.refusal);
        } else {
            ASSERT_TRUE(revealed) << revealed.error().message();
            EXPECT_EQ(revealed->expose_secret_chars(), "the value");
        }
        EXPECT_EQ(human->asked(), c.asked);
        EXPECT_EQ(vault.audit_words(), c.audit);
        if (!c.audit.empty()) {
            EXPECT_EQ(audit_origins(vault), std::set<std::string>{is_human ? "human" : "agent"});
        }
    }
}

// Requests the session files carry the principal's actor, and its times come
// from the session's clock.
TEST(HumanRevealTest, RequestsAndRecordsCarryThePrincipalAndTheClock) {
    TempVault vault;
    vault.put(literal("dev/app/token", "v", Sensitivity::High, false));
    auto human = std::make_shared<MockConfirmer>(Decision::Approved);
    Session session =
        open_as(vault, Principal::human(all_operations(), true), human, std::make_shared<FixedClock>(kNow));

    ASSERT_TRUE(session.edit_metadata("secret:dev/app/token", "low", std::nullopt, std::nullopt, std::nullopt,
                                      std::nullopt));
    EXPECT_EQ(human->asked(), 1);
    EXPECT_EQ(vault.get("secret:dev/app/token")->meta.updated, "2026-01-02T03:00:00Z");
    ASSERT_TRUE(session.set("secret:dev/app/new", core::SecretValue::from_text("n"), std::nullopt));
    EXPECT_EQ(vault.get("secret:dev/app/new")->meta.created, "2026-01-02T03:00:00Z");
    EXPECT_EQ(audit_origins(vault), std::set<std::string>{"human"});
    EXPECT_NE(vault.audit_bytes().find(R"("ts":"2026-01-02T03:00:00Z")"), std::string::npos);

    auto id = session.request_intake("secret:dev/app/asked", std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    ASSERT_TRUE(id) << id.error().message();
    EXPECT_TRUE(id->starts_with("1767322800-"));
    const std::string intake = read_file(vault.root() / "intake" / (*id + ".json"));
    EXPECT_NE(intake.find(R"("origin":"human")"), std::string::npos) << intake;
}

}  // namespace
}  // namespace tarnel::session
