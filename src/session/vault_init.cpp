#include "session/vault_init.hpp"

#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "core/store/atomic_write.hpp"
#include "core/store/fs.hpp"
#include "core/store/registry.hpp"
#include "session/passphrase_check.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSaltFile = "kdf.salt";

bool name_taken(const fs::path& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

SessionResult<void> make_layout(const fs::path& root) {
    if (auto made = core::ensure_root(root); !made) return std::unexpected(std::move(made.error()));
    auto registry = core::Registry::open(root);
    if (!registry) return std::unexpected(std::move(registry.error()));
    return {};
}

}  // namespace

SessionResult<void> init_with_passphrase(const fs::path& root, core::SecretValue passphrase) {
    for (std::string_view name : {kSaltFile, kPassphraseCheckFile}) {
        if (name_taken(root / name)) {
            return fail(
                SessionError::other(std::string(name) + " already exists in the vault root; refusing to replace it"));
        }
    }
    if (auto made = make_layout(root); !made) return made;

    std::vector<std::uint8_t> salt(kInitSaltBytes);
    ::randombytes_buf(salt.data(), salt.size());
    const std::string salt_bytes(salt.begin(), salt.end());
    auto published = core::publish_new(root / kSaltFile, salt_bytes, kSaltFile);
    if (!published) return std::unexpected(std::move(published.error()));
    if (!*published) {
        return fail(
            SessionError::other(std::string(kSaltFile) + " already exists in the vault root; refusing to replace it"));
    }

    auto keyring = core::Argon2Keyring::create(std::move(passphrase), std::move(salt));
    if (!keyring) return std::unexpected(std::move(keyring.error()));
    auto key = keyring->get_master_key();
    SessionResult<void> checked =
        key ? write_passphrase_check(root, *key) : SessionResult<void>(std::unexpected(SessionError(key.error())));
    // A salt without its check would make the next init refuse for nothing.
    if (!checked) ::unlink((root / kSaltFile).c_str());
    return checked;
}

SessionResult<void> init_with_keyring(const fs::path& root, core::Keyring& keyring) {
    // A key that can be read is never replaced: records sealed with it would
    // be lost. Any failure to read (missing, or a store that cannot answer)
    // lets the store below decide.
    if (keyring.get_master_key()) {
        return fail(SessionError::other("the keyring already holds a master key; refusing to replace it"));
    }
    if (auto made = make_layout(root); !made) return made;

    std::array<std::uint8_t, core::MasterKey::kSize> bytes{};
    ::randombytes_buf(bytes.data(), bytes.size());
    const core::MasterKey key(bytes);
    ::sodium_memzero(bytes.data(), bytes.size());
    if (auto stored = keyring.set_master_key(key); !stored) return std::unexpected(std::move(stored.error()));
    return {};
}

}  // namespace tarnel::session
