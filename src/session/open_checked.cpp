#include <utility>

#include "session/passphrase_change.hpp"
#include "session/passphrase_check.hpp"
#include "session/session.hpp"

namespace tarnel::session {

SessionResult<OpenedVault> open_vault_checked(VaultOptions vault) {
    vault.passphrase = choose_passphrase(std::move(vault.passphrase));
    const bool by_passphrase = vault.passphrase.has_value();
    auto opened = open_vault(std::move(vault));
    if (!opened) return std::unexpected(std::move(opened.error()));
    // A keyring's key is not checked: the check belongs to the passphrase.
    if (by_passphrase) {
        if (auto checked = verify_passphrase_check(opened->root, opened->key); !checked) {
            return std::unexpected(std::move(checked.error()));
        }
    }
    return opened;
}

SessionResult<Session> Session::open_checked(VaultOptions vault, Principal principal, SessionHooks hooks) {
    auto opened = open_vault_checked(std::move(vault));
    if (!opened) return std::unexpected(std::move(opened.error()));
    return Session(std::move(principal), std::move(*opened), std::move(hooks));
}

SessionResult<Session> Session::open_with_key(std::filesystem::path root, core::MasterKey key, Principal principal,
                                              SessionHooks hooks) {
    if (auto finished = finish_passphrase_change(root); !finished) return std::unexpected(std::move(finished.error()));
    if (auto checked = verify_passphrase_check(root, key); !checked) return std::unexpected(std::move(checked.error()));
    auto registry = core::Registry::open(root);
    if (!registry) return std::unexpected(std::move(registry.error()));
    return Session(std::move(principal), OpenedVault{std::move(root), std::move(*registry), std::move(key)},
                   std::move(hooks));
}

}  // namespace tarnel::session
