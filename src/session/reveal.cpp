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
    if (auto permitted = permit_reveal(*at, project, record.meta, *path, "reveal",
                                       "reveal requires attended confirmation (not available over MCP)");
        !permitted) {
        return fail(std::move(permitted.error()));
    }
    // Only now, with the policy's yes, is the value taken out of the record.
    audit(core::AuditAction::Reveal, "revealed", *path, env_of(*at));
    return std::move(std::get<core::LiteralRecord>(record.kind).value);
}

}  // namespace tarnel::session
