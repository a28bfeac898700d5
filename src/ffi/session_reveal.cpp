// reveal: the one road by which a secret value reaches an agent.

#include <utility>
#include <variant>

#include "core/policy.hpp"
#include "ffi/session.hpp"

namespace tarnel::ffi {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

// Only a literal holds a value an agent may ever read; the other kinds are
// refused before policy is asked, whatever their sensitivity or flag.
std::optional<std::string> kind_refusal(const core::RecordKind& kind) {
    return std::visit(
        Overloaded{
            [](const core::LiteralRecord&) -> std::optional<std::string> { return std::nullopt; },
            [](const core::ReferenceRecord&) -> std::optional<std::string> {
                return "reference value is materialized at run time, not revealable over MCP";
            },
            [](const core::KeypairRecord&) -> std::optional<std::string> {
                return "a keypair's private key is never revealed (I11/I14); use it through "
                       "sign/decrypt/ssh-add via the CLI";
            },
            [](const core::TotpRecord&) -> std::optional<std::string> {
                return "a TOTP seed is never revealed (I11/I14); derive a code on demand with "
                       "`tarnel code` via the CLI";
            },
        },
        kind);
}

}  // namespace

FfiResult<core::SecretValue> Session::reveal(std::string_view coordinate, OptText project) const {
    auto at = parse_concrete(coordinate);
    if (!at) return std::unexpected(std::move(at.error()));
    // Neither a lookup nor an audit line before the gate: what the scope
    // does not cover must look exactly like what does not exist.
    if (!scope_.addresses(*at, project) || !scope_.permits(core::Operation::Reveal)) {
        return std::unexpected(FfiError::not_found());
    }

    auto resolved = registry_.resolve_with_key(*at, project, key_);
    if (!resolved) return std::unexpected(FfiError(std::move(resolved.error())));
    if (!*resolved) return std::unexpected(FfiError::not_found());
    core::SecretRecord& record = (*resolved)->record;

    if (auto refusal = kind_refusal(record.kind)) return std::unexpected(FfiError::denied(std::move(*refusal)));
    core::SecretValue value = std::move(std::get<core::LiteralRecord>(record.kind).value);

    auto path = at->canonical_path();
    if (!path) return std::unexpected(FfiError(std::move(path.error())));
    const std::string environment = env_of(*at);

    const core::AccessRequest request{
        .project = project,
        .coordinate = *at,
        .sensitivity = record.meta.sensitivity,
        .operation = core::Operation::Reveal,
        .surface = core::Surface::Mcp,
        .revealable = record.meta.revealable,
        .attended = false,
    };
    const core::PolicyDecision decision = core::decide(request, scope_);
    switch (decision.kind) {
        case core::PolicyDecision::Kind::Allow:
            audit(core::AuditAction::Reveal, "revealed", *path, environment);
            return value;
        case core::PolicyDecision::Kind::Deny:
            audit(core::AuditAction::Deny, "denied", *path, environment);
            return std::unexpected(FfiError::denied(std::string(core::deny_reason_name(decision.reason))));
        case core::PolicyDecision::Kind::RequireConfirmation:
            return std::unexpected(
                FfiError::denied("reveal requires attended confirmation (not available over MCP)"));
        case core::PolicyDecision::Kind::NotAddressable:
            break;
    }
    return std::unexpected(FfiError::not_found());
}

}  // namespace tarnel::ffi
