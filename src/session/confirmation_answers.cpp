#include "session/confirmation_answers.hpp"

#include <cstdio>
#include <utility>

#include "core/keys/proof.hpp"
#include "core/oversight/request_id.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

// Control and non-ASCII bytes escaped, so a hostile argument prints as one
// harmless line.
std::string printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '`' && c != '\\') {
            shown += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        }
    }
    return shown;
}

std::string expired_text(const core::RequestId& id) {
    return "request " + id.text() + " has expired: its requester has stopped waiting";
}

std::string answered_text(const core::RequestId& id) { return "request " + id.text() + " has already been answered"; }

// Writes an answer; takes it back when the requester had already given up.
SessionResult<void> publish(const core::PendingDir& dir, const core::PendingConfirmation& pending,
                            const core::Result<bool>& written, const core::Clock& clock) {
    if (!written) return std::unexpected(written.error());
    if (!*written) return fail(SessionError::other(answered_text(pending.id)));
    // The requester withdraws its request both after reading an answer and
    // after giving up; only the time tells which happened.
    if (!dir.waiting(pending.id) && state_of(pending, clock.unix_secs()) == RequestState::Expired) {
        dir.retract(pending.id);
        return fail(SessionError::other(expired_text(pending.id)));
    }
    return {};
}

}  // namespace

RequestState state_of(const core::PendingConfirmation& pending, std::uint64_t now_unix) {
    if (now_unix >= pending.expires_unix) return RequestState::Expired;
    return pending.answered ? RequestState::Answered : RequestState::Waiting;
}

std::uint64_t age_of(std::uint64_t created_unix, std::uint64_t now_unix) {
    return now_unix > created_unix ? now_unix - created_unix : 0;
}

SessionResult<core::RequestId> check_request_id(std::string_view text) {
    if (auto id = core::RequestId::parse(text)) return std::move(*id);
    return fail(SessionError::other("`" + printable(text) + "` is not a request identifier"));
}

SessionResult<core::PendingList> list_confirmations(const fs::path& root) {
    const auto dir = core::PendingDir::under_root(root);
    auto listed = dir.list();
    if (!listed) return std::unexpected(std::move(listed.error()));
    dir.sweep_abandoned(*listed);
    return std::move(*listed);
}

SessionResult<core::PendingConfirmation> confirmation_to_answer(const fs::path& root, const core::RequestId& id,
                                                                const core::Clock& clock) {
    auto found = core::PendingDir::under_root(root).find(id);
    if (!found) {
        return fail(SessionError::other("request " + id.text() + " is unreadable: " + found.error().display()));
    }
    if (!*found) return fail(SessionError::not_found());
    switch (state_of(**found, clock.unix_secs())) {
        case RequestState::Expired: return fail(SessionError::other(expired_text(id)));
        case RequestState::Answered: return fail(SessionError::other(answered_text(id)));
        case RequestState::Waiting: break;
    }
    return std::move(**found);
}

SessionResult<void> approve_confirmation(const fs::path& root, const core::PendingConfirmation& shown,
                                         const core::MasterKey& key, const core::Clock& clock) {
    const auto request_key = core::ProofKey::derive(key, core::ProofPurpose::Request);
    const auto answer_key = core::ProofKey::derive(key, core::ProofPurpose::Answer);
    if (!request_key || !answer_key) return fail(core::CoreError::crypto());
    const core::SealCheck seal = shown.seal_with(*request_key);
    const auto dir = core::PendingDir::under_root(root);
    if (seal.state != core::SealState::Sealed) {
        // Someone tampered with the request or the vault's key files: the
        // waiting requester is answered no, and the log says why.
        (void)dir.deny(shown.id);
        auto event = core::AuditEvent(clock.now_rfc3339(), core::AuditAction::Deny, "approval-refused:unverified")
                         .at(shown.request.coordinate, shown.request.environment)
                         .by(core::Actor::Human);
        (void)core::FileAuditSink::under_root(root).record(event);
        return fail(SessionError::denied(
            "request " + shown.id.text() +
            " does not carry this vault's proof: either it was altered after it was made, or the passphrase "
            "is not this vault's (the two cannot be told apart); nothing approved"));
    }
    // The expiry is read from the checked bytes, so it cannot be stretched.
    if (state_of(shown, clock.unix_secs()) == RequestState::Expired) {
        return fail(SessionError::other(expired_text(shown.id)));
    }
    return publish(dir, shown, dir.approve(shown.id, seal.mac, *answer_key), clock);
}

SessionResult<void> deny_confirmation(const fs::path& root, const core::RequestId& id, const core::Clock& clock) {
    auto pending = confirmation_to_answer(root, id, clock);
    if (!pending) return fail(std::move(pending.error()));
    const auto dir = core::PendingDir::under_root(root);
    return publish(dir, *pending, dir.deny(id), clock);
}

}  // namespace tarnel::session
