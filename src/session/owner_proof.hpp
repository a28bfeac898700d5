#pragma once

// How the vault's owner proves, before an approval, to be the person and not
// an agent with a shell: by typing the vault passphrase, never taken from the
// environment. A vault keyed by the keyring has no passphrase; there the face
// shows a random code to be typed back, after the keyring has handed out the
// key.

#include <filesystem>

#include "core/keys/master_key.hpp"
#include "core/model/secret.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

enum class OwnerProof { Passphrase, ShownCode };

// Passphrase for a vault with "kdf.salt"; ShownCode for one with neither the
// salt nor the passphrase check. A check without its salt is refused: that
// vault was made with a passphrase, and nobody may turn it into the other kind
// by deleting a file.
SessionResult<OwnerProof> owner_proof_for(const std::filesystem::path& root);

// The key derived from the passphrase and the root's salt; "wrong passphrase"
// unless it opens the root's passphrase check; a root without the check
// cannot tell and is refused. The check only catches a mistyped passphrase:
// its files can be replaced, so what the key is worth is shown by the proofs
// it verifies, never by this.
SessionResult<core::MasterKey> owner_key_from_passphrase(const std::filesystem::path& root,
                                                         core::SecretValue passphrase);

// The master key the platform keyring hands out.
SessionResult<core::MasterKey> keyring_key(const std::filesystem::path& root);

}  // namespace tarnel::session
