#include "core/confirm.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <utility>

namespace tarnel::core {
namespace {

using namespace std::chrono_literals;

TEST(ConfirmRequest, NewSetsGivenFieldsAndDefaults) {
    const ConfirmRequest request("secret:dev/app/db", Sensitivity::High, "dev", Actor::Agent);
    EXPECT_EQ(request.coordinate, "secret:dev/app/db");
    EXPECT_EQ(request.sensitivity, Sensitivity::High);
    EXPECT_EQ(request.environment, "dev");
    EXPECT_EQ(request.origin, Actor::Agent);
    EXPECT_FALSE(request.resolved_command);
    EXPECT_FALSE(request.requesting_process);
    EXPECT_FALSE(request.requester_description);
    EXPECT_FALSE(request.action);
    EXPECT_FALSE(request.allow_password);
}

TEST(ConfirmRequest, WithRequestingProcessConsumesAndSets) {
    ConfirmRequest base("secret:dev/app/db", Sensitivity::Low, "dev", Actor::Human);
    const auto changed = std::move(base).with_requesting_process("claude (pid 42)");
    EXPECT_EQ(changed.requesting_process, "claude (pid 42)");
    EXPECT_EQ(changed.origin, Actor::Human);
}

TEST(Decision, DeclarationOrder) {
    EXPECT_EQ(static_cast<int>(Decision::Approved), 0);
    EXPECT_EQ(static_cast<int>(Decision::Denied), 1);
    EXPECT_EQ(static_cast<int>(Decision::TimedOut), 2);
}

class MockConfirmer final : public Confirmer {
public:
    explicit MockConfirmer(Decision answer) : answer_(answer) {}
    Decision confirm(const ConfirmRequest&, std::chrono::milliseconds) const override { return answer_; }

private:
    Decision answer_;
};

TEST(Confirmer, UsableThroughTheInterface) {
    const MockConfirmer mock(Decision::Denied);
    const Confirmer& confirmer = mock;
    EXPECT_EQ(confirmer.confirm(ConfirmRequest("c", Sensitivity::Medium, "e", Actor::Agent), 0ms),
              Decision::Denied);
}

}  // namespace
}  // namespace tarnel::core
