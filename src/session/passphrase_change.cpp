#include "session/passphrase_change.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "core/base/os_error.hpp"
#include "core/keys/crypto.hpp"
#include "core/keys/keyring.hpp"
#include "core/oversight/audit.hpp"
#include "core/store/atomic_write.hpp"
#include "core/store/dir_listing.hpp"
#include "core/store/fs.hpp"
#include "core/store/registry.hpp"
#include "core/store/store.hpp"
#include "session/passphrase_check.hpp"
#include "session/vault_init.hpp"
#include "wrapper/allowlist.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSaltFile = "kdf.salt";

constexpr std::string_view kStaleKeyText =
    "the vault passphrase was changed after this session was opened; open the vault again "
    "(a server: unlock it again); nothing changed";

SessionResult<void> io_failure(std::string text) {
    return fail(SessionError(core::CoreError(core::ErrorKind::Io, std::move(text))));
}

bool present(const fs::path& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

// A flock on the root directory itself: nothing to create, so a write that
// is refused before it starts leaves no trace, and nothing to plant.
SessionResult<core::UniqueFd> hold_key_lock(const fs::path& root, bool exclusive) {
    const auto failed = [&](int error) {
        return fail(
            SessionError(core::CoreError(core::ErrorKind::Io, "locking the vault root " + core::quoted_path(root) +
                                                                  ": " + core::os_error_text(error))));
    };
    core::UniqueFd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return failed(errno);
    while (::flock(fd.get(), exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) return failed(errno);
    }
    return fd;
}

// The regular files of a directory whose names `wanted` accepts; links,
// FIFOs and the like are never opened.
SessionResult<std::optional<core::DirListing>> regular_files(const fs::path& dir, bool (*wanted)(std::string_view)) {
    auto listing = core::list_dir(dir, [wanted](int dir_fd, const dirent& entry) -> core::Result<bool> {
        if (!wanted(entry.d_name)) return false;
        struct stat info{};
        if (::fstatat(dir_fd, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
        return S_ISREG(info.st_mode);
    });
    if (!listing) return std::unexpected(SessionError(std::move(listing.error())));
    return std::move(*listing);
}

bool is_record_file(std::string_view name) { return name.ends_with(".sec") || name.ends_with(".sec.bak"); }

// Re-seals one record file under the new key into `to`; its plaintext, the
// record's exact JSON, is kept as it was.
SessionResult<void> reseal_file(int dir_fd, const std::string& name, const fs::path& shown, const fs::path& to,
                                const core::MasterKey& from_key, const core::MasterKey& to_key) {
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    if (const auto failed = core::read_regular_file(dir_fd, name.c_str(), core::kMaxRecordFileBytes, 0, bytes, size)) {
        return io_failure(core::quoted_path(shown) + ": " + failed->text(core::kMaxRecordFileBytes));
    }
    bytes.resize(size);
    auto sealed = core::unframe(bytes);
    auto plain =
        sealed ? core::open_bytes(*sealed, from_key) : core::Result<core::SecretValue>(std::unexpected(sealed.error()));
    if (!plain) {
        return fail(SessionError::other(core::quoted_path(shown) +
                                        " does not open with the current key (see `tarnel check`); nothing changed"));
    }
    auto resealed = core::seal_bytes(plain->expose_secret(), to_key);
    if (!resealed) return std::unexpected(SessionError(std::move(resealed.error())));
    if (auto written = core::atomic_write_as(to / name, core::frame(*resealed), "staged record"); !written) {
        return std::unexpected(SessionError(std::move(written.error())));
    }
    return {};
}

// Every record file of one vault directory, staged under `to`.
SessionResult<std::size_t> stage_vault(const fs::path& dir, const fs::path& to, const core::MasterKey& from_key,
                                       const core::MasterKey& to_key) {
    auto listing = regular_files(dir, is_record_file);
    if (!listing) return std::unexpected(std::move(listing.error()));
    if (!*listing || (*listing)->names.empty()) return std::size_t{0};
    if (auto made = core::ensure_dir(to); !made) return std::unexpected(SessionError(std::move(made.error())));
    for (const auto& name : (*listing)->names) {
        if (auto staged = reseal_file((*listing)->dir.get(), name, dir / name, to, from_key, to_key); !staged) {
            return std::unexpected(std::move(staged.error()));
        }
    }
    if (auto synced = core::sync_dir(to); !synced) return std::unexpected(SessionError(std::move(synced.error())));
    return (*listing)->names.size();
}

// Removes a directory tree without following links in it.
void remove_tree(const fs::path& dir) {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

// Moves each staged file over its counterpart in the root, directories
// first-to-last; what was moved already is not in the stage any more, so a
// crash in here is finished by the next call.
SessionResult<void> apply_commit(const fs::path& root) {
    const fs::path commit = root / kCommitDir;
    std::vector<fs::path> dirs{commit};
    std::vector<fs::path> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(commit, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const auto status = it->symlink_status(error);
        if (error) break;
        // Only what the change staged is moved: directories and regular files.
        if (fs::is_directory(status)) dirs.push_back(it->path());
        if (fs::is_regular_file(status)) files.push_back(it->path());
    }
    if (error) return io_failure("finishing the passphrase change: " + error.message());
    for (const auto& file : files) {
        const fs::path target = root / file.lexically_relative(commit);
        if (auto made = core::ensure_dir(target.parent_path()); !made) {
            return std::unexpected(SessionError(std::move(made.error())));
        }
        if (::rename(file.c_str(), target.c_str()) != 0) {
            return io_failure("finishing the passphrase change: rename " + core::quoted_path(target) + ": " +
                              core::os_error_text(errno));
        }
    }
    for (const auto& dir : dirs) {
        if (auto synced = core::sync_dir(root / dir.lexically_relative(commit)); !synced) {
            return std::unexpected(SessionError(std::move(synced.error())));
        }
    }
    remove_tree(commit);
    if (auto synced = core::sync_dir(root); !synced) return std::unexpected(SessionError(std::move(synced.error())));
    return {};
}

struct Staged {
    core::MasterKey key;
    PassphraseChanged changed;
};

SessionResult<Staged> stage_everything(const fs::path& root, const fs::path& stage, const core::MasterKey& key,
                                       core::SecretValue new_passphrase) {
    if (::mkdir(stage.c_str(), 0700) != 0) {
        return fail(SessionError(core::CoreError(
            core::ErrorKind::Io, "creating " + core::quoted_path(stage) + ": " + core::os_error_text(errno))));
    }
    std::vector<std::uint8_t> salt(kInitSaltBytes);
    ::randombytes_buf(salt.data(), salt.size());
    const std::string salt_bytes(salt.begin(), salt.end());
    auto keyring = core::Argon2Keyring::create(std::move(new_passphrase), std::move(salt));
    if (!keyring) return std::unexpected(SessionError(std::move(keyring.error())));
    auto new_key = keyring->get_master_key();
    if (!new_key) return std::unexpected(SessionError(std::move(new_key.error())));
    if (auto written = core::atomic_write_as(stage / kSaltFile, salt_bytes, "staged salt"); !written) {
        return std::unexpected(SessionError(std::move(written.error())));
    }
    if (auto checked = write_passphrase_check(stage, *new_key); !checked)
        return std::unexpected(std::move(checked.error()));

    Staged staged{std::move(*new_key), {}};
    auto registry = core::Registry::open(root);
    if (!registry) return std::unexpected(SessionError(std::move(registry.error())));
    auto global = stage_vault(registry->global_dir(), stage / "global", key, staged.key);
    if (!global) return std::unexpected(std::move(global.error()));
    staged.changed.records += *global;
    auto projects = registry->list_projects();
    if (!projects) return std::unexpected(SessionError(std::move(projects.error())));
    for (const auto& project : *projects) {
        auto count = stage_vault(registry->project_dir(project), stage / "projects" / project, key, staged.key);
        if (!count) return std::unexpected(std::move(count.error()));
        staged.changed.records += *count;
    }
    if (present(stage / "projects")) {
        if (auto synced = core::sync_dir(stage / "projects"); !synced) {
            return std::unexpected(SessionError(std::move(synced.error())));
        }
    }

    // A sealed allowlist is the owner's and is sealed again; one that does
    // not verify allows nothing under either key and is left for the owner
    // to review.
    auto contents = wrapper::read_allowlist(root);
    if (contents && contents->form == wrapper::AllowlistContents::Form::Sealed && wrapper::sealed_by(*contents, key)) {
        auto text = wrapper::sealed_allowlist_text(contents->entries, staged.key);
        if (!text) return std::unexpected(SessionError(std::move(text.error())));
        if (auto written = core::atomic_write_as(stage / "allowlist", *text, "staged allowlist"); !written) {
            return std::unexpected(SessionError(std::move(written.error())));
        }
        staged.changed.allowlist = true;
    }
    if (auto synced = core::sync_dir(stage); !synced) return std::unexpected(SessionError(std::move(synced.error())));
    return staged;
}

bool real_directory(const fs::path& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Under the exclusive key lock: a commit is finished, a stage thrown away.
// A change makes both as directories; anything else under those names was
// planted, and is removed unread, never followed.
SessionResult<void> settle_locked(const fs::path& root) {
    for (const auto name : {kCommitDir, kStageDir}) {
        if (present(root / name) && !real_directory(root / name)) ::unlink((root / name).c_str());
    }
    if (present(root / kCommitDir)) {
        if (auto applied = apply_commit(root); !applied) return applied;
    }
    if (present(root / kStageDir)) remove_tree(root / kStageDir);
    return {};
}

}  // namespace

SessionResult<core::UniqueFd> hold_key_for_writing(const fs::path& root, const core::MasterKey& key) {
    auto lock = hold_key_lock(root, false);
    if (!lock) return lock;
    if (!verify_passphrase_check(root, key)) return fail(SessionError::other(std::string(kStaleKeyText)));
    return lock;
}

SessionResult<void> finish_passphrase_change(const fs::path& root) {
    if (!present(root / kCommitDir) && !present(root / kStageDir)) return {};
    auto lock = hold_key_lock(root, true);
    if (!lock) return fail(std::move(lock.error()));
    return settle_locked(root);
}

SessionResult<PassphraseChanged> change_passphrase(const fs::path& root, const core::MasterKey& key,
                                                   core::SecretValue new_passphrase, const core::Clock& clock) {
    if (!present(root / kSaltFile)) {
        return fail(SessionError::other("this vault's key is kept in the keyring: it has no passphrase to change"));
    }
    auto lock = hold_key_lock(root, true);
    if (!lock) return fail(std::move(lock.error()));
    if (auto settled = settle_locked(root); !settled) return fail(std::move(settled.error()));
    // Checked again under the lock: another change may have finished first.
    if (auto checked = verify_passphrase_check(root, key); !checked) return fail(std::move(checked.error()));

    const fs::path stage = root / kStageDir;
    auto staged = stage_everything(root, stage, key, std::move(new_passphrase));
    if (!staged) {
        remove_tree(stage);
        return fail(std::move(staged.error()));
    }
    // The switch.
    if (::rename(stage.c_str(), (root / kCommitDir).c_str()) != 0) {
        const int saved = errno;
        remove_tree(stage);
        return fail(SessionError(
            core::CoreError(core::ErrorKind::Io, "switching to the new key: " + core::os_error_text(saved))));
    }
    if (auto synced = core::sync_dir(root); !synced) return fail(SessionError(std::move(synced.error())));
    if (auto applied = apply_commit(root); !applied) return fail(std::move(applied.error()));

    const core::FileAuditSink sink = core::FileAuditSink::under_root(root);
    (void)sink.record(core::AuditEvent(clock.now_rfc3339(), core::AuditAction::Edit,
                                       "passphrase-changed:" + std::to_string(staged->changed.records) + " records")
                          .by(core::Actor::Human));
    return staged->changed;
}

}  // namespace tarnel::session
