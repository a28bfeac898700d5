#include "core/model/policy.hpp"

#include <array>
#include <utility>
#include <variant>

#include "core/base/overloaded.hpp"

namespace tarnel::core {

namespace {

constexpr std::array<std::string_view, 5> kDenyNames{"InjectOnlyNeverRevealed", "McpCriticalForbidden",
                                                     "WebUiCriticalMasked", "ProdRevealIntoAgentContext",
                                                     "NotRevealable"};

using Decision = PolicyDecision;

Decision reveal_in_production(const AccessRequest& request) {
    const bool high = request.sensitivity == Sensitivity::High;
    switch (request.surface) {
        case Surface::Mcp: return Decision::deny(DenyReason::McpCriticalForbidden);
        case Surface::WebUi: return high ? Decision::deny(DenyReason::WebUiCriticalMasked) : Decision::allow();
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
        case Surface::WebUi: return high ? Decision::deny(DenyReason::WebUiCriticalMasked) : Decision::allow();
        case Surface::Cli: return high ? Decision::require_confirmation() : Decision::allow();
    }
    std::unreachable();
}

Decision reveal(const AccessRequest& request) {
    if (request.sensitivity == Sensitivity::InjectOnly) {
        return Decision::deny(DenyReason::InjectOnlyNeverRevealed);
    }
    return is_production(request.coordinate) ? reveal_in_production(request) : reveal_elsewhere(request);
}

}  // namespace

std::string_view deny_reason_name(DenyReason reason) noexcept { return kDenyNames[std::to_underlying(reason)]; }

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
            return request.sensitivity == Sensitivity::High ? Decision::require_confirmation() : Decision::allow();
        case Operation::Reveal: return reveal(request);
    }
    std::unreachable();
}

Sensitivity born_sensitivity(const Coordinate& coordinate, Sensitivity asked) noexcept {
    return is_production(coordinate) ? Sensitivity::High : asked;
}

bool downgrade_needs_confirmation(Sensitivity current, Sensitivity wanted) noexcept {
    return wanted < current && current >= Sensitivity::High;
}

std::optional<std::string_view> reveal_refusal(const RecordKind& kind) noexcept {
    return std::visit(Overloaded{
                          [](const LiteralRecord&) -> std::optional<std::string_view> { return std::nullopt; },
                          [](const ReferenceRecord&) -> std::optional<std::string_view> {
                              return "reference value is materialized at run time, not revealable over MCP";
                          },
                          [](const KeypairRecord&) -> std::optional<std::string_view> {
                              return "a keypair's private key is never revealed (I11/I14); use it through "
                                     "sign/decrypt/ssh-add via the CLI";
                          },
                          [](const TotpRecord&) -> std::optional<std::string_view> {
                              return "a TOTP seed is never revealed (I11/I14); derive a code on demand with "
                                     "`tarnel code` via the CLI";
                          },
                      },
                      kind);
}

std::optional<std::string> overwrite_refusal(const RecordKind& kind, std::string_view coordinate,
                                             std::string_view command) {
    std::string_view what;
    if (std::holds_alternative<KeypairRecord>(kind)) what = "a keypair";
    if (std::holds_alternative<TotpRecord>(kind)) what = "a TOTP enrollment";
    if (what.empty()) return std::nullopt;
    return "`" + std::string(coordinate) + "` is " + std::string(what) + "; it cannot be overwritten with `" +
           std::string(command) + "`";
}

std::optional<std::string> reference_edit_refusal(const RecordKind& kind) {
    const std::string_view what = std::visit(Overloaded{
                                                 [](const LiteralRecord&) { return std::string_view("literal"); },
                                                 [](const ReferenceRecord&) { return std::string_view(); },
                                                 [](const KeypairRecord&) { return std::string_view("keypair"); },
                                                 [](const TotpRecord&) { return std::string_view("TOTP enrollment"); },
                                             },
                                             kind);
    if (what.empty()) return std::nullopt;
    return "`reference` edits a reference secret; this is a " + std::string(what);
}

}  // namespace tarnel::core
