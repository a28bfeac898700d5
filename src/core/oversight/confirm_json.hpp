#pragma once

#include "core/codec/json_writer.hpp"
#include "core/oversight/confirm.hpp"

namespace tarnel::core {

// The members of a confirmation request, from "resolved_command" to "run",
// as both the pending request file and the owner's JSON listing spell them,
// written into an object the caller has opened. False when a text is not
// valid UTF-8.
[[nodiscard]] bool write_request_members(json::Writer& writer, const ConfirmRequest& request);

}  // namespace tarnel::core
