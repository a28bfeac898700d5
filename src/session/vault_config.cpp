#include "session/vault_config.hpp"

#include <fcntl.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/store/fs.hpp"
#include "core/keys/os_keyring.hpp"
#include "core/codec/utf8.hpp"
#include "session/passphrase_change.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSaltFile = "kdf.salt";

// A salt is tens of bytes; anything past this is not one.
constexpr std::size_t kMaxSaltBytes = 1024;

SessionResult<std::vector<std::uint8_t>> read_salt(const fs::path& root) {
    std::vector<std::uint8_t> salt;
    std::size_t size = 0;
    const auto failed = core::read_regular_file(AT_FDCWD, (root / kSaltFile).c_str(), kMaxSaltBytes, 0, salt, size);
    if (!failed) {
        salt.resize(size);
        return salt;
    }
    using Kind = core::FileReadError::Kind;
    // The OS error is left out on purpose: the fix is the same whatever it was.
    if (failed->kind == Kind::Absent || failed->kind == Kind::Os) {
        return fail(SessionError::other("reading " + std::string(kSaltFile) +
                                        " from the vault root (run `tarnel init` first)"));
    }
    return fail(SessionError::other(std::string(kSaltFile) + " in the vault root is " + failed->text(kMaxSaltBytes)));
}

}  // namespace

SessionResult<fs::path> choose_root(std::optional<fs::path> vault_dir) {
    if (vault_dir) {
        // The system calls would stop at the NUL and root the vault at a
        // shorter path, such as a file inside the real vault.
        if (vault_dir->native().find('\0') != std::string::npos) {
            return fail(SessionError::other("invalid vault directory: a path must not contain NUL"));
        }
        return std::move(*vault_dir);
    }
    // Set but empty still counts: the caller asked for that path.
    if (const char* from_env = std::getenv("TARNEL_VAULT_DIR")) return fs::path(from_env);
    return core::Registry::default_root();
}

std::optional<core::SecretValue> choose_passphrase(std::optional<core::SecretValue> given) {
    if (given) return given;
    const char* from_env = std::getenv("TARNEL_PASSPHRASE");
    if (from_env == nullptr || !core::is_valid_utf8(from_env)) return std::nullopt;
    return core::SecretValue::from_text(from_env);
}

SessionResult<std::unique_ptr<core::Keyring>> choose_keyring(const fs::path& root,
                                                             std::optional<core::SecretValue> passphrase) {
    if (!passphrase) return std::make_unique<core::OsKeyring>();
    // The salt and the records must be of one key.
    if (auto finished = finish_passphrase_change(root); !finished) return fail(std::move(finished.error()));
    auto salt = read_salt(root);
    if (!salt) return fail(std::move(salt.error()));
    auto keyring = core::Argon2Keyring::create(std::move(*passphrase), std::move(*salt));
    if (!keyring) return std::unexpected(std::move(keyring.error()));
    return std::make_unique<core::Argon2Keyring>(std::move(*keyring));
}

SessionResult<OpenedVault> open_vault(VaultOptions options) {
    auto root = choose_root(std::move(options.vault_dir));
    if (!root) return std::unexpected(std::move(root.error()));

    auto keyring = choose_keyring(*root, choose_passphrase(std::move(options.passphrase)));
    if (!keyring) return std::unexpected(std::move(keyring.error()));
    // The keyring's own text is dropped: it may describe the platform store in
    // ways that mean nothing to an agent, and the remedy is the same.
    auto key = (*keyring)->get_master_key();
    if (!key) return fail(SessionError::other("obtaining the master key (run `tarnel init`?)"));
    keyring->reset();

    auto registry = core::Registry::open(*root);
    if (!registry) return std::unexpected(std::move(registry.error()));
    return OpenedVault{std::move(*root), std::move(*registry), std::move(*key)};
}

}  // namespace tarnel::session
