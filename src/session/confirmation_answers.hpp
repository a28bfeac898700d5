#pragma once

// Answering the confirmations a session asks through the pending directory.
// No key is needed: whoever may answer is decided by the face (the owner's
// tool asks for the passphrase before approving).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/clock.hpp"
#include "core/confirm.hpp"
#include "core/pending_confirmation.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

enum class RequestState { Waiting, Answered, Expired };

// Expired once the requester's wait is over: no answer can reach it then.
RequestState state_of(const core::PendingConfirmation& pending, std::uint64_t now_unix,
                      std::chrono::seconds wait);
// Seconds since the request was made; 0 for a time stamp in the future.
std::uint64_t age_of(std::uint64_t created_unix, std::uint64_t now_unix);

// "`{text}` is not a request identifier" (the text escaped) unless it is one.
SessionResult<void> check_request_id(std::string_view text);

SessionResult<core::PendingList> list_confirmations(const std::filesystem::path& root);

// The request under the identifier, while it can still be answered: NotFound
// for none; Other for a malformed, answered or expired one.
SessionResult<core::PendingConfirmation> confirmation_to_answer(const std::filesystem::path& root,
                                                                std::string_view id, const core::Clock& clock,
                                                                std::chrono::seconds wait);

// Writes the decision for a request confirmation_to_answer accepts. When the
// request turns out to have been withdrawn before its requester could read the
// answer, the answer is taken back and the failure says so.
SessionResult<void> answer_confirmation(const std::filesystem::path& root, std::string_view id,
                                        core::Decision decision, const core::Clock& clock,
                                        std::chrono::seconds wait);

}  // namespace tarnel::session
