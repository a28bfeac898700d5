#include "session/owner_proof.hpp"

#include <sys/stat.h>

#include <string>
#include <utility>

#include "session/passphrase_check.hpp"
#include "session/vault_config.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

bool present(const fs::path& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

SessionResult<OwnerProof> owner_proof_for(const fs::path& root) {
    if (present(root / "kdf.salt")) return OwnerProof::Passphrase;
    if (present(root / kPassphraseCheckFile)) {
        return fail(
            SessionError::other("the vault root has kdf.check but no kdf.salt; the passphrase cannot be checked"));
    }
    return OwnerProof::ShownCode;
}

SessionResult<core::MasterKey> owner_key_from_passphrase(const fs::path& root, core::SecretValue passphrase) {
    auto keyring = choose_keyring(root, std::move(passphrase));
    if (!keyring) return fail(std::move(keyring.error()));
    auto key = (*keyring)->get_master_key();
    if (!key) return std::unexpected(std::move(key.error()));
    if (auto checked = verify_passphrase_check(root, *key); !checked) return fail(std::move(checked.error()));
    // The check passes a root without the file; looked for afterwards, so a
    // file removed during the derivation cannot slip through either.
    if (!present(root / kPassphraseCheckFile)) {
        return fail(SessionError::other("the vault root has no kdf.check, so the passphrase cannot be verified"));
    }
    return std::move(*key);
}

SessionResult<core::MasterKey> keyring_key(const fs::path& root) {
    auto keyring = choose_keyring(root, std::nullopt);
    if (!keyring) return fail(std::move(keyring.error()));
    auto key = (*keyring)->get_master_key();
    if (!key) return fail(SessionError::other("the keyring holds no master key for the vault"));
    return std::move(*key);
}

}  // namespace tarnel::session
