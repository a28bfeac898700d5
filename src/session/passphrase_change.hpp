#pragma once

// Changing the vault passphrase without losing anything to a crash. Every
// file sealed with the key (each record and backup, "kdf.check", the sealed
// allowlist) is re-sealed under the new key into "passwd.stage" beside the
// new salt, and synced; renaming that directory to "passwd.commit" is the one
// switch. Until it, the vault is the old one and a stage left behind is
// thrown away; after it, the staged files are renamed over the old ones, and
// whoever opens the vault next finishes that first if a crash stopped it.
// Every write holds a flock on the root directory shared and the change
// holds it exclusively, so no write lands between the copy and the switch,
// and a write by a session still holding the old key is refused afterwards.

#include <cstddef>
#include <filesystem>

#include "core/base/fd.hpp"
#include "core/keys/master_key.hpp"
#include "core/model/secret.hpp"
#include "core/oversight/clock.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

inline constexpr std::string_view kStageDir = "passwd.stage";
inline constexpr std::string_view kCommitDir = "passwd.commit";

// Held by every write of a record or the allowlist, with the key it will
// seal with checked against "kdf.check" once the lock is held.
[[nodiscard]] SessionResult<core::UniqueFd> hold_key_for_writing(const std::filesystem::path& root,
                                                                 const core::MasterKey& key);

struct PassphraseChanged {
    std::size_t records = 0;  // record files and backups re-sealed
    bool allowlist = false;   // whether a sealed allowlist was re-sealed
};

// `key` is the current one, already checked against "kdf.check". A vault
// without "kdf.salt" is keyed by the keyring and is refused.
[[nodiscard]] SessionResult<PassphraseChanged> change_passphrase(const std::filesystem::path& root,
                                                                 const core::MasterKey& key,
                                                                 core::SecretValue new_passphrase,
                                                                 const core::Clock& clock);

// Finishes a change that was switched and throws away one that was not; a
// no-op (two lstat calls) when there is neither. Waits for a change under way.
[[nodiscard]] SessionResult<void> finish_passphrase_change(const std::filesystem::path& root);

}  // namespace tarnel::session
