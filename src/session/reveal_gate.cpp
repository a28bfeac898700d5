// The reveal policy applied to a record whose contents are about to leave the
// session: a literal's value, or a code derived from a TOTP seed.

#include <string>

#include "session/arguments.hpp"
#include "session/session.hpp"

namespace tarnel::session {

SessionResult<void> Session::permit_reveal(const core::Coordinate& at, OptText project,
                                           const core::RecordMetadata& meta, const std::string& path,
                                           std::string_view what, std::string_view unattended) const {
    using Kind = core::PolicyDecision::Kind;
    const std::string environment = env_of(at);
    const core::PolicyDecision decision =
        decide(core::Operation::Reveal, at, project, meta.sensitivity, meta.revealable);
    switch (decision.kind) {
        case Kind::Allow: return {};
        case Kind::Deny:
            audit(core::AuditAction::Deny, "denied", path, environment);
            return fail(SessionError::denied(std::string(core::deny_reason_name(decision.reason))));
        case Kind::RequireConfirmation: {
            // Only a human at the surface can confirm; nobody else is asked.
            if (!principal_.attended) return fail(SessionError::denied(std::string(unattended)));
            core::ConfirmRequest request(path, meta.sensitivity, environment, principal_.actor);
            request.action = std::string(what);
            if (confirm(request, what) != core::Decision::Approved) {
                return fail(SessionError::denied(std::string(what) + " not confirmed"));
            }
            return {};
        }
        case Kind::NotAddressable: break;
    }
    return fail(SessionError::not_found());
}

}  // namespace tarnel::session
