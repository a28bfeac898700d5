#pragma once

// Answering the confirmations a session asks through the pending directory.
// Anyone may deny. Approving needs the vault key, which the face obtains only
// from the owner (the owner's tool asks for the passphrase on the terminal):
// the request's proof is checked with it, and the answer carries a proof of
// its own.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/oversight/clock.hpp"
#include "core/keys/master_key.hpp"
#include "core/oversight/pending_confirmation.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

enum class RequestState { Waiting, Answered, Expired };

// Expired once the requester's wait is over: no answer can reach it then.
RequestState state_of(const core::PendingConfirmation& pending, std::uint64_t now_unix);
// Seconds since the request was made; 0 for a time stamp in the future.
std::uint64_t age_of(std::uint64_t created_unix, std::uint64_t now_unix);

// The identifier a face was given, checked once here and passed on as such;
// "`{text}` is not a request identifier" (the text escaped) unless it is one.
SessionResult<core::RequestId> check_request_id(std::string_view text);

// The requests still waiting, once those whose requesters died are removed.
SessionResult<core::PendingList> list_confirmations(const std::filesystem::path& root);

// The request under the identifier, while it can still be answered: NotFound
// for none; Other for a malformed, answered or expired one. Not yet checked
// against the vault key: what it says is the file's word.
SessionResult<core::PendingConfirmation> confirmation_to_answer(const std::filesystem::path& root,
                                                                const core::RequestId& id, const core::Clock& clock);

// Approves the request exactly as `shown` read it, once its proof checks out
// under the key: a request altered since the module wrote it, or a key that
// is not the vault's, approves nothing (the two cannot be told apart). When
// the request turns out to have been withdrawn before its requester could
// read the answer, the answer is taken back and the failure says so.
SessionResult<void> approve_confirmation(const std::filesystem::path& root, const core::PendingConfirmation& shown,
                                         const core::MasterKey& key, const core::Clock& clock);

SessionResult<void> deny_confirmation(const std::filesystem::path& root, const core::RequestId& id,
                                      const core::Clock& clock);

}  // namespace tarnel::session
