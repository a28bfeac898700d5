// totp_code: a one-time code derived from a TOTP enrolment. The seed never
// leaves the session, but the code opens whatever the seed opens for its
// time step, so it goes through the reveal policy and is audited.

#include <string>
#include <utility>
#include <variant>

#include "core/kinds/totp.hpp"
#include "session/arguments.hpp"
#include "session/session.hpp"

namespace tarnel::session {

namespace {

std::string_view kind_name(const core::RecordKind& kind) {
    constexpr std::string_view names[] = {"a literal", "a reference", "a keypair", "a TOTP enrollment"};
    return names[kind.index()];
}

}  // namespace

SessionResult<core::SecretValue> Session::totp_code(std::string_view coordinate, OptText project) const {
    auto at = parse_concrete(coordinate);
    if (!at) return fail(std::move(at.error()));
    if (decide(core::Operation::Reveal, *at, project).kind == core::PolicyDecision::Kind::NotAddressable) {
        return fail(SessionError::not_found());
    }

    auto resolved = registry_.resolve_with_key(*at, project, key_);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    if (!*resolved) return fail(SessionError::not_found());
    const core::SecretRecord& record = (*resolved)->record;
    const auto* totp = std::get_if<core::TotpRecord>(&record.kind);
    if (totp == nullptr) {
        return fail(SessionError::other("`" + std::string(coordinate) + "` is " + std::string(kind_name(record.kind)) +
                                        ", not a TOTP enrollment"));
    }

    auto path = at->canonical_path();
    if (!path) return std::unexpected(std::move(path.error()));
    if (auto permitted = permit_reveal(*at, project, record.meta, *path, "code",
                                       "a code of this enrollment needs your confirmation on a terminal");
        !permitted) {
        return fail(std::move(permitted.error()));
    }
    auto code = core::totp_code(*totp, clock_->unix_secs());
    if (!code) return std::unexpected(std::move(code.error()));
    audit(core::AuditAction::Access, "code-derived", *path, env_of(*at));
    return code;
}

}  // namespace tarnel::session
