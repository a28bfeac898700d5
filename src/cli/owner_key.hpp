#pragma once

// The vault key, from the owner at this terminal: the vault passphrase typed
// on the terminal (never taken from the environment), or for a vault keyed by
// the keyring, the keyring's key once a code shown here has been typed back.
// What the owner's word is proved with: approvals and the sealed allowlist.

#include <filesystem>
#include <string_view>

#include "core/keys/master_key.hpp"
#include "session/session_error.hpp"

namespace tarnel::cli {

// `doing` ends the refusal when there is no terminal ("nothing approved").
session::SessionResult<core::MasterKey> owner_key(const std::filesystem::path& root, std::string_view doing);

}  // namespace tarnel::cli
