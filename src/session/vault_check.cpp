#include "session/vault_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <utility>

#include <fmt/format.h>

#include "core/base/digest.hpp"
#include "core/base/fd.hpp"
#include "core/base/os_error.hpp"
#include "core/codec/utf8.hpp"
#include "core/keys/crypto.hpp"
#include "core/keys/proof.hpp"
#include "core/oversight/intake_inbox.hpp"
#include "core/oversight/pending_confirmation.hpp"
#include "core/store/dir_listing.hpp"
#include "core/store/fs.hpp"
#include "core/store/store.hpp"
#include "session/passphrase_change.hpp"
#include "session/passphrase_check.hpp"
#include "wrapper/allowlist.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;
using Problem = CheckFinding::Problem;

constexpr std::string_view kUnknownName = "a name no part of the vault writes";
constexpr std::string_view kUnfinishedWrite = "the temporary of a write that did not finish";

// Files of the root that are only ever looked at as files here.
constexpr std::string_view kPlainRootFiles[] = {"kdf.salt", "allowlist.lock", "audit.log", "mcp-http.token"};
// Left by a passphrase change that did not finish (see passphrase_change.hpp).
constexpr std::string_view kPasswdLeftovers[] = {kStageDir, kCommitDir};
constexpr std::string_view kUnfinishedChange =
    "what a passphrase change that did not finish left; the next command that opens the vault settles it";

enum class EntryKind { Regular, Directory, Link, Fifo, Socket, Device };

EntryKind kind_of(mode_t mode) {
    if (S_ISREG(mode)) return EntryKind::Regular;
    if (S_ISDIR(mode)) return EntryKind::Directory;
    if (S_ISLNK(mode)) return EntryKind::Link;
    if (S_ISFIFO(mode)) return EntryKind::Fifo;
    if (S_ISSOCK(mode)) return EntryKind::Socket;
    return EntryKind::Device;
}

std::string_view kind_word(EntryKind kind) {
    switch (kind) {
        case EntryKind::Regular: return "a file";
        case EntryKind::Directory: return "a directory";
        case EntryKind::Link: return "a symbolic link";
        case EntryKind::Fifo: return "a FIFO";
        case EntryKind::Socket: return "a socket";
        case EntryKind::Device: break;
    }
    return "a device";
}

bool one_of(std::string_view name, std::span<const std::string_view> names) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The name a temporary of an atomic write ("<final>.tmp.<pid>.<tid>.<n>")
// was to take; empty for any other name.
std::string_view temp_target(std::string_view name) {
    constexpr std::string_view kMark = ".tmp.";
    const std::size_t at = name.rfind(kMark);
    if (at == std::string_view::npos || at == 0) return {};
    std::string_view numbers = name.substr(at + kMark.size());
    for (int part = 0; part < 3; ++part) {
        const std::size_t dot = part < 2 ? numbers.find('.') : numbers.size();
        if (dot == std::string_view::npos || !all_digits(numbers.substr(0, dot))) return {};
        numbers.remove_prefix(std::min(dot + 1, numbers.size()));
    }
    return name.substr(0, at);
}

// The storage id of "<storage-id><suffix>".
std::optional<std::string_view> storage_stem(std::string_view name, std::string_view suffix) {
    if (!name.ends_with(suffix)) return std::nullopt;
    name.remove_suffix(suffix.size());
    const bool hex = name.size() == 64 && std::all_of(name.begin(), name.end(), [](char c) {
                         return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                     });
    return hex ? std::optional(name) : std::nullopt;
}

// The identifier of "<request-id><suffix>".
std::optional<core::RequestId> request_stem(std::string_view name, std::string_view suffix) {
    if (!name.ends_with(suffix)) return std::nullopt;
    name.remove_suffix(suffix.size());
    return core::RequestId::parse(name);
}

std::string join(const std::string& rel, std::string_view name) {
    return rel.empty() ? std::string(name) : rel + "/" + std::string(name);
}

struct Entry {
    std::string name;
    struct stat info;
    EntryKind kind;
};

// One directory's entries in byte order, links and FIFOs left out (they are
// reported as planted), with a descriptor to read them relative to.
struct Listing {
    core::UniqueFd dir;
    std::vector<Entry> entries;
    std::set<std::string, std::less<>> names;  // every name, planted ones too

    bool has(std::string_view name) const { return names.contains(name); }
};

class Checker {
public:
    Checker(const fs::path& root, const core::MasterKey& key, const core::Clock& clock)
        : root_(root),
          key_(key),
          now_(clock.unix_secs()),
          request_key_(core::ProofKey::derive(key, core::ProofPurpose::Request)) {}

    CheckReport run() && {
        check_root();
        // Planted entries are reported while listing, ahead of their
        // neighbours; no path has two findings.
        std::ranges::sort(report_.findings, {}, &CheckFinding::path);
        return std::move(report_);
    }

private:
    void add(const std::string& rel, Problem problem, std::string detail) {
        std::string shown = core::is_valid_utf8(rel) ? rel : core::quoted_path(rel);
        report_.findings.push_back({std::move(shown), problem, std::move(detail)});
    }

    // Whether the entry is of the kind its name calls for; reported when not.
    bool is(const std::string& rel, const Entry& entry, EntryKind wanted, std::string_view what) {
        if (entry.kind == wanted) return true;
        add(rel, Problem::WrongKind, fmt::format("{} where {} belongs", kind_word(entry.kind), what));
        return false;
    }

    // `seen` is the directory as its parent's listing showed it (none for the
    // root, which may be a link).
    std::optional<Listing> list(const std::string& rel, const struct stat* seen) {
        auto listed = core::list_dir(rel.empty() ? root_ : root_ / rel,
                                     [](int, const dirent&) -> core::Result<bool> { return true; });
        if (!listed) {
            add(rel.empty() ? "." : rel, Problem::Damaged, "cannot be read: " + listed.error().detail());
            return std::nullopt;
        }
        if (!*listed) return std::nullopt;  // gone since its parent was listed
        Listing listing{std::move((*listed)->dir), {}, {}};
        // list_dir follows a link: a directory swapped for one since its
        // parent was listed is not read through it.
        struct stat opened{};
        if (seen != nullptr && (::fstat(listing.dir.get(), &opened) != 0 || opened.st_dev != seen->st_dev ||
                                opened.st_ino != seen->st_ino)) {
            add(rel, Problem::Planted, "replaced while it was checked");
            return std::nullopt;
        }
        std::vector<std::string>& names = (*listed)->names;
        std::sort(names.begin(), names.end());
        for (std::string& name : names) {
            listing.names.insert(name);
            struct stat info{};
            if (::fstatat(listing.dir.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    add(join(rel, name), Problem::Damaged, "cannot be examined: " + core::os_error_text(errno));
                continue;
            }
            const EntryKind kind = kind_of(info.st_mode);
            if (kind == EntryKind::Link || kind == EntryKind::Fifo) {
                add(join(rel, name), Problem::Planted, std::string(kind_word(kind)));
                continue;
            }
            listing.entries.push_back({std::move(name), info, kind});
        }
        return listing;
    }

    void check_root() {
        auto listing = list("", nullptr);
        if (!listing) return;
        for (const Entry& entry : listing->entries) {
            const std::string& name = entry.name;
            if (name == "global") {
                if (is(name, entry, EntryKind::Directory, "a vault's directory")) check_records(name, entry.info);
            } else if (name == "projects") {
                if (is(name, entry, EntryKind::Directory, "a directory")) check_projects(entry.info);
            } else if (name == "pending") {
                if (is(name, entry, EntryKind::Directory, "a directory")) check_pending(entry.info);
            } else if (name == "intake") {
                if (is(name, entry, EntryKind::Directory, "a directory")) check_intake(entry.info);
            } else if (name == "run") {
                is(name, entry, EntryKind::Directory, "a directory");
            } else if (name == "allowlist") {
                if (is(name, entry, EntryKind::Regular, "a file")) check_allowlist();
            } else if (name == kPassphraseCheckFile) {
                if (is(name, entry, EntryKind::Regular, "a file")) check_passphrase();
            } else if (one_of(name, kPlainRootFiles)) {
                is(name, entry, EntryKind::Regular, "a file");
            } else if (one_of(name, kPasswdLeftovers)) {
                add(name, Problem::LeftOver, std::string(kUnfinishedChange));
            } else if (const std::string_view target = temp_target(name);
                       target == "allowlist" || target == "kdf.salt" || target == kPassphraseCheckFile) {
                add(name, Problem::LeftOver, std::string(kUnfinishedWrite));
            } else {
                add(name, Problem::WrongKind, std::string(kUnknownName));
            }
        }
    }

    // global/ or projects/<name>/: records, their backups and lock files.
    void check_records(const std::string& rel, const struct stat& seen) {
        auto listing = list(rel, &seen);
        if (!listing) return;
        ++report_.vaults;
        for (const Entry& entry : listing->entries) {
            const std::string at = join(rel, entry.name);
            if (const auto stem = storage_stem(entry.name, ".sec")) {
                if (is(at, entry, EntryKind::Regular, "a record file")) {
                    ++report_.records;
                    open_record(*listing, at, entry.name, *stem);
                }
            } else if (const auto backup = storage_stem(entry.name, ".sec.bak")) {
                if (is(at, entry, EntryKind::Regular, "a record's backup")) {
                    open_record(*listing, at, entry.name, *backup);
                }
            } else if (const auto locked = storage_stem(entry.name, ".sec.lock")) {
                // Unlinked by the last lock holder when no record is left.
                if (is(at, entry, EntryKind::Regular, "a lock file") && !listing->has(std::string(*locked) + ".sec")) {
                    add(at, Problem::LeftOver, "a lock file with no record");
                }
            } else if (storage_stem(temp_target(entry.name), ".sec")) {
                add(at, Problem::LeftOver, std::string(kUnfinishedWrite));
            } else {
                add(at, Problem::WrongKind, std::string(kUnknownName));
            }
        }
    }

    void open_record(const Listing& listing, const std::string& at, const std::string& name, std::string_view stem) {
        std::vector<std::uint8_t> bytes;
        std::size_t size = 0;
        if (const auto failed =
                core::read_regular_file(listing.dir.get(), name.c_str(), core::kMaxRecordFileBytes, 0, bytes, size)) {
            if (failed->kind != core::FileReadError::Kind::Absent) {
                add(at, Problem::Damaged, failed->text(core::kMaxRecordFileBytes));
            }
            return;
        }
        auto sealed = core::unframe(std::span<const std::uint8_t>(bytes.data(), size));
        if (!sealed) {
            add(at, Problem::Damaged, sealed.error().display());
            return;
        }
        auto record = core::open_sealed(*sealed, key_);
        if (!record) {
            const bool crypto = record.error().kind() == core::ErrorKind::Crypto;
            add(at, Problem::Damaged, crypto ? "does not open with the vault key" : record.error().display());
            return;
        }
        // The coordinate sealed inside is what says whose file it is.
        if (const std::string held = record->canonical_path(); core::blake3_hex(held) != stem) {
            add(at, Problem::WrongCoordinate, "holds the record of " + held);
        }
    }

    void check_projects(const struct stat& seen) {
        auto listing = list("projects", &seen);
        if (!listing) return;
        for (const Entry& entry : listing->entries) {
            const std::string at = join("projects", entry.name);
            if (!is(at, entry, EntryKind::Directory, "a project's directory")) continue;
            // Registry::list_projects passes over a name that is not UTF-8.
            if (core::is_valid_utf8(entry.name)) {
                check_records(at, entry.info);
            } else {
                add(at, Problem::WrongKind, std::string(kUnknownName));
            }
        }
    }

    void check_pending(const struct stat& seen) {
        auto listing = list("pending", &seen);
        if (!listing) return;
        const core::PendingDir pending = core::PendingDir::under_root(root_);
        for (const Entry& entry : listing->entries) {
            const std::string at = join("pending", entry.name);
            const std::string_view target = temp_target(entry.name);
            if (const auto id = request_stem(entry.name, ".json")) {
                if (is(at, entry, EntryKind::Regular, "a request")) check_request(pending, *id, at);
            } else if (const auto answered = request_stem(entry.name, ".decision")) {
                // The requester removes its answer with its request.
                if (is(at, entry, EntryKind::Regular, "a decision") && !listing->has(answered->file_name(".json"))) {
                    add(at, Problem::LeftOver, "a decision with no request");
                }
            } else if (request_stem(target, ".json") || request_stem(target, ".decision")) {
                add(at, Problem::LeftOver, std::string(kUnfinishedWrite));
            } else {
                add(at, Problem::WrongKind, std::string(kUnknownName));
            }
        }
    }

    void check_request(const core::PendingDir& pending, const core::RequestId& id, const std::string& at) {
        auto found = pending.find(id);
        if (!found) {
            add(at, Problem::Damaged, found.error().display());
            return;
        }
        if (!*found) return;
        // Without a proof key (libsodium did not start) no seal can be checked.
        if (request_key_ && (*found)->seal_with(*request_key_).state != core::SealState::Sealed) {
            add(at, Problem::Damaged, "does not carry this vault's proof");
            return;
        }
        // The requester removes its file once it stops waiting.
        if ((*found)->expires_unix < now_) add(at, Problem::LeftOver, "an expired request nobody waits for");
    }

    void check_intake(const struct stat& seen) {
        auto listing = list("intake", &seen);
        if (!listing) return;
        const core::IntakeInbox inbox = core::IntakeInbox::under_root(root_);
        for (const Entry& entry : listing->entries) {
            const std::string at = join("intake", entry.name);
            if (const auto id = request_stem(entry.name, ".json")) {
                if (!is(at, entry, EntryKind::Regular, "an intake request")) continue;
                if (auto found = inbox.find(*id); !found) add(at, Problem::Damaged, found.error().display());
            } else if (request_stem(temp_target(entry.name), ".json")) {
                add(at, Problem::LeftOver, std::string(kUnfinishedWrite));
            } else {
                add(at, Problem::WrongKind, std::string(kUnknownName));
            }
        }
    }

    void check_allowlist() {
        const std::string name = "allowlist";
        auto contents = wrapper::read_allowlist(root_);
        if (!contents) {
            // Its texts name the file, which the finding names already.
            const std::string named = name + " " + core::quoted_path(root_ / name) + ": ";
            std::string why = contents.error().detail();
            if (why.starts_with(named)) why.erase(0, named.size());
            add(name, Problem::Damaged, std::move(why));
            return;
        }
        using Form = wrapper::AllowlistContents::Form;
        if (contents->form == Form::Earlier) {
            add(name, Problem::Damaged, "in the earlier one-path-a-line form, which allows nothing until sealed");
        } else if (contents->form == Form::Sealed && !wrapper::sealed_by(*contents, key_)) {
            add(name, Problem::Damaged, "does not carry this vault's seal");
        }
    }

    void check_passphrase() {
        if (!verify_passphrase_check(root_, key_)) {
            add(std::string(kPassphraseCheckFile), Problem::Damaged, "does not open with the vault key");
        }
    }

    const fs::path& root_;
    const core::MasterKey& key_;
    std::uint64_t now_;
    std::optional<core::ProofKey> request_key_;
    CheckReport report_;
};

}  // namespace

std::string_view problem_word(CheckFinding::Problem problem) noexcept {
    switch (problem) {
        case Problem::Damaged: return "damaged";
        case Problem::WrongKind: return "wrong kind";
        case Problem::Planted: return "planted";
        case Problem::WrongCoordinate: return "wrong coordinate";
        case Problem::LeftOver: break;
    }
    return "left over";
}

std::vector<CheckFinding> unfinished_passphrase_change(const fs::path& root) {
    std::vector<CheckFinding> found;
    for (const std::string_view name : kPasswdLeftovers) {
        struct stat info{};
        if (::lstat((root / name).c_str(), &info) != 0) continue;
        const EntryKind kind = kind_of(info.st_mode);
        const bool planted = kind == EntryKind::Link || kind == EntryKind::Fifo;
        found.push_back({std::string(name), planted ? Problem::Planted : Problem::LeftOver,
                         std::string(planted ? kind_word(kind) : kUnfinishedChange)});
    }
    return found;
}

CheckReport check_vault(const fs::path& root, const core::MasterKey& key, const core::Clock& clock) {
    return Checker(root, key, clock).run();
}

}  // namespace tarnel::session
