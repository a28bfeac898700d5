#include "ffi/session.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <utility>

#include "core/fd.hpp"
#include "core/fs.hpp"
#include "core/keyring.hpp"
#include "core/os_keyring.hpp"
#include "core/utf8.hpp"

namespace tarnel::ffi {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSaltFile = "kdf.salt";


// The whole file, or nothing when any step of reading it fails.
std::optional<std::vector<std::uint8_t>> read_whole(const fs::path& path) {
    core::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::vector<std::uint8_t> data;
    std::uint8_t buffer[256];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return data;
        data.insert(data.end(), buffer, buffer + n);
    }
}

FfiResult<fs::path> vault_root(std::optional<fs::path> vault_dir) {
    if (vault_dir) return std::move(*vault_dir);
    // Set but empty still counts: the caller asked for that path.
    if (const char* from_env = std::getenv("TARNEL_VAULT_DIR")) return fs::path(from_env);
    auto fallback = core::Registry::default_root();
    if (!fallback) return std::unexpected(FfiError(std::move(fallback.error())));
    return std::move(*fallback);
}

std::optional<core::SecretValue> choose_passphrase(std::optional<core::SecretValue> given) {
    if (given) return given;
    const char* from_env = std::getenv("TARNEL_PASSPHRASE");
    if (from_env == nullptr || !core::is_valid_utf8(from_env)) return std::nullopt;
    return core::SecretValue::from_text(from_env);
}

FfiResult<std::unique_ptr<core::Keyring>> choose_keyring(const fs::path& root,
                                                         std::optional<core::SecretValue> passphrase) {
    if (!passphrase) return std::make_unique<core::OsKeyring>();
    // The OS error is left out on purpose: the fix is the same whatever it was.
    auto salt = read_whole(root / kSaltFile);
    if (!salt) {
        return std::unexpected(FfiError::other("reading " + std::string(kSaltFile) +
                                               " from the vault root (run `tarnel init` first)"));
    }
    auto keyring = core::Argon2Keyring::create(std::move(*passphrase), std::move(*salt));
    if (!keyring) return std::unexpected(FfiError(std::move(keyring.error())));
    return std::make_unique<core::Argon2Keyring>(std::move(*keyring));
}

}  // namespace

FfiResult<core::Coordinate> parse_concrete(std::string_view text) {
    auto parsed = core::Coordinate::from_str(text);
    if (!parsed) return std::unexpected(FfiError::other(parsed.error().display()));
    if (auto path = parsed->canonical_path(); !path) {
        return std::unexpected(
            FfiError::other(path.error().display() + " (a coordinate must be concrete, not ${ENV})"));
    }
    return std::move(*parsed);
}

FfiResult<core::Sensitivity> parse_sensitivity(std::string_view text) {
    std::string word(text);
    for (char& c : word) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '_') c = '-';
    }
    if (word == "low") return core::Sensitivity::Low;
    if (word == "medium") return core::Sensitivity::Medium;
    if (word == "high") return core::Sensitivity::High;
    if (word == "inject-only" || word == "injectonly") return core::Sensitivity::InjectOnly;
    return std::unexpected(
        FfiError::other("unknown sensitivity `" + word + "` (expected low|medium|high|inject-only)"));
}

std::string env_of(const core::Coordinate& coordinate) {
    return std::string(coordinate.environment().name());
}

std::optional<std::string> origin_for(OptText project) {
    if (!project) return std::nullopt;
    return std::string(*project);
}

FfiResult<Session> Session::open(std::optional<fs::path> vault_dir, core::AgentScope scope,
                                 std::optional<core::SecretValue> passphrase) {
    auto root = vault_root(std::move(vault_dir));
    if (!root) return std::unexpected(std::move(root.error()));

    auto keyring = choose_keyring(*root, choose_passphrase(std::move(passphrase)));
    if (!keyring) return std::unexpected(std::move(keyring.error()));

    // The keyring's own text is dropped: it may describe the platform store in
    // ways that mean nothing to an agent, and the remedy is the same.
    auto key = (*keyring)->get_master_key();
    if (!key) return std::unexpected(FfiError::other("obtaining the master key (run `tarnel init`?)"));
    keyring->reset();

    auto registry = core::Registry::open(*root);
    if (!registry) return std::unexpected(FfiError(std::move(registry.error())));

    return Session(std::move(scope), std::move(*root), std::move(*registry), std::move(*key));
}

void Session::audit(core::AuditAction action, std::string_view result, std::string_view coordinate,
                    std::string_view environment) const {
    auto event = core::AuditEvent(clock_.now_rfc3339(), action, std::string(result))
                     .at(coordinate, environment)
                     .by(core::Actor::Agent);
    // The operation's own outcome stands whether or not the line was written.
    (void)core::FileAuditSink::under_root(root_).record(event);
}

FfiResult<fs::path> Session::target_dir(OptText project) const {
    if (!project) return registry_.global_dir();
    auto dir = registry_.checked_project_dir(*project);
    if (!dir) return std::unexpected(FfiError(std::move(dir.error())));
    return std::move(*dir);
}

}  // namespace tarnel::ffi
