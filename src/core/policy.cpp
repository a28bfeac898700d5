#include "core/policy.hpp"

#include <array>
#include <utility>

namespace tarnel::core {

namespace {

constexpr std::array<std::string_view, 5> kDenyNames{
    "InjectOnlyNeverRevealed", "McpCriticalForbidden", "WebUiCriticalMasked",
    "ProdRevealIntoAgentContext", "NotRevealable"};

using Decision = PolicyDecision;

Decision reveal_in_production(const AccessRequest& request) {
    const bool high = request.sensitivity == Sensitivity::High;
    switch (request.surface) {
        case Surface::Mcp: return Decision::deny(DenyReason::McpCriticalForbidden);
        case Surface::WebUi:
            return high ? Decision::deny(DenyReason::WebUiCriticalMasked) : Decision::allow();
        case Surface::Cli:
            return request.attended ? Decision::require_confirmation()
                                    : Decision::deny(DenyReason::ProdRevealIntoAgentContext);
    }
    std::unreachable();
}

Decision reveal_elsewhere(const AccessRequest& request) {
    const bool high = request.sensitivity == Sensitivity::High;
    switch (request.surface) {
        case Surface::Mcp:
            if (high) return Decision::deny(DenyReason::McpCriticalForbidden);
            return request.revealable ? Decision::allow() : Decision::deny(DenyReason::NotRevealable);
        case Surface::WebUi:
            return high ? Decision::deny(DenyReason::WebUiCriticalMasked) : Decision::allow();
        case Surface::Cli:
            return high ? Decision::require_confirmation() : Decision::allow();
    }
    std::unreachable();
}

Decision reveal(const AccessRequest& request) {
    if (request.sensitivity == Sensitivity::InjectOnly) {
        return Decision::deny(DenyReason::InjectOnlyNeverRevealed);
    }
    return is_production(request.coordinate) ? reveal_in_production(request)
                                              : reveal_elsewhere(request);
}

}  // namespace

std::string_view deny_reason_name(DenyReason reason) noexcept {
    return kDenyNames[std::to_underlying(reason)];
}

bool is_production(const Coordinate& coordinate) noexcept {
    const auto& environment = coordinate.environment();
    return !environment.is_placeholder() && environment.name() == "prod";
}

PolicyDecision decide(const AccessRequest& request, const AgentScope& scope) {
    if (!scope.addresses(request.coordinate, request.project)) return Decision::not_addressable();
    if (!scope.permits(request.operation)) return Decision::not_addressable();
    switch (request.operation) {
        case Operation::Metadata:
        case Operation::Write: return Decision::allow();
        case Operation::Inject:
            return request.sensitivity == Sensitivity::High ? Decision::require_confirmation()
                                                            : Decision::allow();
        case Operation::Reveal: return reveal(request);
    }
    std::unreachable();
}

}  // namespace tarnel::core
