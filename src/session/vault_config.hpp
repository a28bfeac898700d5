#pragma once

// Where a session's vault is and how its key is obtained, the same for every
// face: the root is the caller's directory, else $TARNEL_VAULT_DIR, else the
// default root; the key comes from a passphrase (the caller's, else
// $TARNEL_PASSPHRASE) with the root's "kdf.salt", else from the platform
// keyring.

#include <filesystem>
#include <memory>
#include <optional>

#include "core/keys/keyring.hpp"
#include "core/keys/master_key.hpp"
#include "core/store/registry.hpp"
#include "core/model/secret.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

struct VaultOptions {
    std::optional<std::filesystem::path> vault_dir;
    std::optional<core::SecretValue> passphrase;
};

// The root, the registry opened under it and the master key; the keyring that
// gave the key is not kept.
struct OpenedVault {
    std::filesystem::path root;
    core::Registry registry;
    core::MasterKey key;
};

SessionResult<std::filesystem::path> choose_root(std::optional<std::filesystem::path> vault_dir);
// The given passphrase, else $TARNEL_PASSPHRASE when it is set and valid UTF-8.
std::optional<core::SecretValue> choose_passphrase(std::optional<core::SecretValue> given);
// Argon2 over the root's "kdf.salt" with a passphrase, else the OS keyring.
SessionResult<std::unique_ptr<core::Keyring>> choose_keyring(const std::filesystem::path& root,
                                                             std::optional<core::SecretValue> passphrase);

// Root, then key, then registry: with neither a vault nor a passphrase the
// failure reported is the key's.
SessionResult<OpenedVault> open_vault(VaultOptions options);
// open_vault, and when the key came from a passphrase, the root's passphrase
// check too, so a mistyped passphrase reads "wrong passphrase".
SessionResult<OpenedVault> open_vault_checked(VaultOptions options);

}  // namespace tarnel::session
