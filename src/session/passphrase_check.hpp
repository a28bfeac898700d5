#pragma once

// A small record sealed with the master key beside the salt, so a key derived
// from a mistyped passphrase is told apart from a damaged record. The module
// does not read it.

#include <filesystem>

#include "core/keys/master_key.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

inline constexpr std::string_view kPassphraseCheckFile = "kdf.check";

// Writes the check, never replacing an existing one (0600).
SessionResult<void> write_passphrase_check(const std::filesystem::path& root, const core::MasterKey& key);

// Fine when the root has no check (a vault made without one, or keyed by the
// keyring); "wrong passphrase" when the key does not open it.
SessionResult<void> verify_passphrase_check(const std::filesystem::path& root, const core::MasterKey& key);

}  // namespace tarnel::session
