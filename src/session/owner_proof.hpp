#pragma once

// How the vault's owner proves, before an approval, to be the person and not
// an agent with a shell: by typing the vault passphrase, never taken from the
// environment. A vault keyed by the keyring has no passphrase; there the face
// shows a random code to be typed back, after the keyring has handed out the
// key.

#include <filesystem>

#include "core/secret.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

enum class OwnerProof { Passphrase, ShownCode };

// Passphrase for a vault with "kdf.salt"; ShownCode for one with neither the
// salt nor the passphrase check. A check without its salt is refused: that
// vault was made with a passphrase, and nobody may turn it into the other kind
// by deleting a file.
SessionResult<OwnerProof> owner_proof_for(const std::filesystem::path& root);

// "wrong passphrase" unless the key derived from it opens the root's
// passphrase check; a root without the check cannot tell and is refused.
SessionResult<void> verify_owner_passphrase(const std::filesystem::path& root, core::SecretValue passphrase);

// The platform keyring hands out a master key.
SessionResult<void> verify_keyring_key(const std::filesystem::path& root);

}  // namespace tarnel::session
