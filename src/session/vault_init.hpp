#pragma once

// Creating a vault: the root layout and the key's source. The module never
// creates one; only the human's tool does.

#include <filesystem>
#include <optional>

#include "core/keys/keyring.hpp"
#include "core/keys/master_key.hpp"
#include "core/model/secret.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

inline constexpr std::size_t kInitSaltBytes = 16;

// Makes the root, global/ and projects/, then writes a fresh "kdf.salt" and
// the passphrase check sealed with the key derived from it. Refuses a root
// that already has either file; nothing existing is replaced.
SessionResult<void> init_with_passphrase(const std::filesystem::path& root, core::SecretValue passphrase);

// Makes the root layout and stores a random key in the keyring, unless the
// keyring already hands out a key.
SessionResult<void> init_with_keyring(const std::filesystem::path& root, core::Keyring& keyring);

}  // namespace tarnel::session
