#pragma once

// Answering intake requests: listing them, and rejecting one. Fulfilling one
// needs the vault key and is a Session operation (fulfil_intake).

#include <filesystem>
#include <string_view>

#include "core/oversight/clock.hpp"
#include "core/oversight/intake_inbox.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

SessionResult<core::IntakeList> list_intakes(const std::filesystem::path& root);

// The intake under the identifier: NotFound for none, Other for a malformed
// one (including one whose environment is not its coordinate's).
SessionResult<core::PendingIntake> intake_to_answer(const std::filesystem::path& root, const core::RequestId& id);

// Removes the intake and audits "intake-rejected" as the human's.
SessionResult<core::PendingIntake> reject_intake(const std::filesystem::path& root, const core::RequestId& id,
                                                 const core::Clock& clock);

}  // namespace tarnel::session
