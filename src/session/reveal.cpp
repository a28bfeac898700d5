// reveal: the one road by which a secret value reaches its caller.

#include <utility>
#include <variant>

#include "session/arguments.hpp"
#include "session/session.hpp"

namespace tarnel::session {

SessionResult<core::SecretValue> Session::reveal(std::string_view coordinate, OptText project) const {
    using Kind = core::PolicyDecision::Kind;
    auto at = parse_concrete(coordinate);
    if (!at) return fail(std::move(at.error()));
    // Neither a lookup nor an audit line before the gate: what the scope
    // does not cover must look exactly like what does not exist.
    if (decide(core::Operation::Reveal, *at, project).kind == Kind::NotAddressable) {
        return fail(SessionError::not_found());
    }

    auto resolved = registry_.resolve_with_key(*at, project, key_);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    if (!*resolved) return fail(SessionError::not_found());
    core::SecretRecord& record = (*resolved)->record;
    if (auto refusal = core::reveal_refusal(record.kind)) return fail(SessionError::denied(std::string(*refusal)));

    auto path = at->canonical_path();
    if (!path) return std::unexpected(std::move(path.error()));
    const std::string environment = env_of(*at);

    const core::PolicyDecision decision =
        decide(core::Operation::Reveal, *at, project, record.meta.sensitivity, record.meta.revealable);
    switch (decision.kind) {
        case Kind::Allow: break;
        case Kind::Deny:
            audit(core::AuditAction::Deny, "denied", *path, environment);
            return fail(SessionError::denied(std::string(core::deny_reason_name(decision.reason))));
        case Kind::RequireConfirmation: {
            // Only a human at the surface can confirm; nobody else is asked.
            if (!principal_.attended) {
                return fail(SessionError::denied("reveal requires attended confirmation (not available over MCP)"));
            }
            core::ConfirmRequest request(*path, record.meta.sensitivity, environment, principal_.actor);
            request.action = "reveal";
            if (confirm(request, "reveal") != core::Decision::Approved) {
                return fail(SessionError::denied("reveal not confirmed"));
            }
            break;
        }
        case Kind::NotAddressable: return fail(SessionError::not_found());
    }
    // Only now, with the policy's yes, is the value taken out of the record.
    audit(core::AuditAction::Reveal, "revealed", *path, environment);
    return std::move(std::get<core::LiteralRecord>(record.kind).value);
}

}  // namespace tarnel::session
