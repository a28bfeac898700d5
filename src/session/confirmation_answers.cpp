#include "session/confirmation_answers.hpp"

#include <cstdio>
#include <utility>

#include "core/request_id.hpp"

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

std::string expired_text(std::string_view id, std::chrono::seconds wait) {
    return "request " + std::string(id) + " has expired: its requester stopped waiting after " +
           std::to_string(wait.count()) + " s";
}

}  // namespace

RequestState state_of(const core::PendingConfirmation& pending, std::uint64_t now_unix, std::chrono::seconds wait) {
    if (age_of(pending.created_unix, now_unix) >= static_cast<std::uint64_t>(wait.count())) {
        return RequestState::Expired;
    }
    return pending.answered ? RequestState::Answered : RequestState::Waiting;
}

std::uint64_t age_of(std::uint64_t created_unix, std::uint64_t now_unix) {
    return now_unix > created_unix ? now_unix - created_unix : 0;
}

SessionResult<void> check_request_id(std::string_view text) {
    if (core::is_request_id(text)) return {};
    return fail(SessionError::other("`" + printable(text) + "` is not a request identifier"));
}

SessionResult<core::PendingList> list_confirmations(const fs::path& root) {
    auto listed = core::PendingDir::under_root(root).list();
    if (!listed) return std::unexpected(std::move(listed.error()));
    return std::move(*listed);
}

SessionResult<core::PendingConfirmation> confirmation_to_answer(const fs::path& root, std::string_view id,
                                                                const core::Clock& clock,
                                                                std::chrono::seconds wait) {
    if (auto checked = check_request_id(id); !checked) return fail(std::move(checked.error()));
    auto found = core::PendingDir::under_root(root).find(id);
    if (!found) {
        return fail(SessionError::other("request " + std::string(id) + " is unreadable: " + found.error().display()));
    }
    if (!*found) return fail(SessionError::not_found());
    switch (state_of(**found, clock.unix_secs(), wait)) {
        case RequestState::Expired:
            return fail(SessionError::other(expired_text(id, wait)));
        case RequestState::Answered:
            return fail(SessionError::other("request " + std::string(id) + " has already been answered"));
        case RequestState::Waiting:
            break;
    }
    return std::move(**found);
}

SessionResult<void> answer_confirmation(const fs::path& root, std::string_view id, core::Decision decision,
                                        const core::Clock& clock, std::chrono::seconds wait) {
    auto pending = confirmation_to_answer(root, id, clock, wait);
    if (!pending) return fail(std::move(pending.error()));
    const auto dir = core::PendingDir::under_root(root);
    auto written = dir.answer(id, decision);
    if (!written) return std::unexpected(std::move(written.error()));
    if (!*written) return fail(SessionError::other("request " + std::string(id) + " has already been answered"));
    // The requester withdraws its request both after reading an answer and
    // after giving up; only the time tells which happened.
    if (!dir.waiting(id) && state_of(*pending, clock.unix_secs(), wait) == RequestState::Expired) {
        dir.retract(id);
        return fail(SessionError::other(expired_text(id, wait)));
    }
    return {};
}

}  // namespace tarnel::session
