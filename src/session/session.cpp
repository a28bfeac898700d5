#include "session/session.hpp"

#include <utility>

#include "core/oversight/file_confirm.hpp"

namespace tarnel::session {

namespace fs = std::filesystem;

Session::Session(Principal principal, OpenedVault vault, SessionHooks hooks)
    : principal_(std::move(principal)),
      root_(std::move(vault.root)),
      registry_(std::move(vault.registry)),
      key_(std::move(vault.key)),
      clock_(hooks.clock ? std::move(hooks.clock) : std::make_shared<core::SystemClock>()),
      confirmer_(hooks.confirmer
                     ? std::move(hooks.confirmer)
                     : std::make_shared<core::FileConfirmer>(core::FileConfirmer::under_root(root_, key_, *clock_))),
      confirm_timeout_(hooks.confirm_timeout) {}

SessionResult<Session> Session::open(VaultOptions vault, Principal principal, SessionHooks hooks) {
    auto opened = open_vault(std::move(vault));
    if (!opened) return std::unexpected(std::move(opened.error()));
    return Session(std::move(principal), std::move(*opened), std::move(hooks));
}

void Session::audit(core::AuditAction action, std::string_view result, std::string_view coordinate,
                    std::string_view environment) const {
    auto event = core::AuditEvent(clock_->now_rfc3339(), action, std::string(result))
                     .at(coordinate, environment)
                     .by(principal_.actor);
    // The operation's own outcome stands whether or not the line was written.
    (void)core::FileAuditSink::under_root(root_).record(event);
}

core::PolicyDecision Session::decide(core::Operation operation, const core::Coordinate& at, OptText project,
                                     core::Sensitivity sensitivity, bool revealable) const {
    const core::AccessRequest request{
        .project = project,
        .coordinate = at,
        .sensitivity = sensitivity,
        .operation = operation,
        .surface = principal_.surface,
        .revealable = revealable,
        .attended = principal_.attended,
    };
    return core::decide(request, principal_.scope);
}

core::Decision Session::confirm(const core::ConfirmRequest& request, std::string_view what) const {
    return confirm(request, std::vector<std::string_view>{what});
}

core::Decision Session::confirm(const core::ConfirmRequest& request, const std::vector<std::string_view>& what,
                                const core::CancelToken& cancel) const {
    const core::Decision decision = confirmer_->confirm(request, confirm_timeout_, cancel);
    for (const std::string_view word : what) audit_decision(request, decision, word);
    return decision;
}

void Session::audit_decision(const core::ConfirmRequest& request, core::Decision decision,
                             std::string_view what) const {
    const std::string suffix(what);
    switch (decision) {
        case core::Decision::Approved:
            audit(core::AuditAction::Approve, "approved-" + suffix, request.coordinate, request.environment);
            break;
        case core::Decision::Denied:
            audit(core::AuditAction::Deny, "denied-" + suffix, request.coordinate, request.environment);
            break;
        case core::Decision::TimedOut:
            audit(core::AuditAction::Timeout, "timeout-" + suffix, request.coordinate, request.environment);
            break;
        case core::Decision::Forged:
            audit(core::AuditAction::Deny, "forged-approval-" + suffix, request.coordinate, request.environment);
            break;
        case core::Decision::Withdrawn:
            audit(core::AuditAction::Deny, "withdrawn-" + suffix, request.coordinate, request.environment);
            break;
    }
}

}  // namespace tarnel::session
