#include "session/passphrase_check.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/store/atomic_write.hpp"
#include "core/keys/crypto.hpp"
#include "core/store/fs.hpp"

namespace tarnel::session {

namespace {

constexpr std::string_view kMagic = "TCHK";
constexpr std::string_view kPlaintext = "tarnel passphrase check 1";
// Magic, nonce, the sealed text and its tag.
constexpr std::size_t kCheckBytes = kMagic.size() + core::kNonceBytes + kPlaintext.size() + core::kTagBytes;

std::string check_path_text(const std::filesystem::path& root) { return (root / kPassphraseCheckFile).string(); }

}  // namespace

SessionResult<void> write_passphrase_check(const std::filesystem::path& root, const core::MasterKey& key) {
    const auto* plain = reinterpret_cast<const std::uint8_t*>(kPlaintext.data());
    auto sealed = core::seal_bytes({plain, kPlaintext.size()}, key);
    if (!sealed) return std::unexpected(std::move(sealed.error()));
    std::string bytes(kMagic);
    bytes.append(sealed->nonce.begin(), sealed->nonce.end());
    bytes.append(sealed->ciphertext.begin(), sealed->ciphertext.end());

    auto written = core::publish_new(root / kPassphraseCheckFile, bytes, kPassphraseCheckFile);
    if (!written) return std::unexpected(std::move(written.error()));
    if (!*written)
        return fail(SessionError::other(std::string(kPassphraseCheckFile) + " already exists in the vault root"));
    return {};
}

SessionResult<void> verify_passphrase_check(const std::filesystem::path& root, const core::MasterKey& key) {
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    const auto failed = core::read_regular_file(AT_FDCWD, check_path_text(root).c_str(), kCheckBytes, 0, bytes, size);
    if (failed && failed->kind == core::FileReadError::Kind::Absent) return {};
    if (failed) {
        return fail(SessionError::other(std::string(kPassphraseCheckFile) + " in the vault root is " +
                                        failed->text(kCheckBytes)));
    }
    bytes.resize(size);
    const bool well_formed =
        size == kCheckBytes && std::equal(kMagic.begin(), kMagic.end(), bytes.begin(),
                                          [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
    if (!well_formed)
        return fail(SessionError::other(std::string(kPassphraseCheckFile) + " in the vault root is damaged"));

    const auto nonce_at = bytes.begin() + static_cast<std::ptrdiff_t>(kMagic.size());
    const auto text_at = nonce_at + static_cast<std::ptrdiff_t>(core::kNonceBytes);
    const core::SealedRecord sealed{{nonce_at, text_at}, {text_at, bytes.end()}};
    auto opened = core::open_bytes(sealed, key);
    if (!opened || opened->expose_secret_chars() != kPlaintext) return fail(SessionError::other("wrong passphrase"));
    return {};
}

}  // namespace tarnel::session
