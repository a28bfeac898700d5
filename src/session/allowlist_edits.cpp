#include "session/allowlist_edits.hpp"
#include "session/passphrase_change.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "core/oversight/audit.hpp"
#include "core/base/fd.hpp"
#include "core/store/fs.hpp"
#include "core/base/os_error.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kAllowlistLockWait{5};

constexpr std::string_view kNotSealedText =
    "the allowlist does not carry this vault's seal: either it was altered, or the passphrase is not this vault's "
    "(the two cannot be told apart); review it with `tarnel allowlist` and seal what it shows with "
    "`tarnel allowlist --seal`; nothing changed";
constexpr std::string_view kEarlierText =
    "the allowlist is in the earlier one-path-a-line form, which allows nothing now; review it with "
    "`tarnel allowlist` and seal it with `tarnel allowlist --seal`; nothing changed";

bool is_variable_name(std::string_view name) {
    if (name.empty() || (name.front() >= '0' && name.front() <= '9')) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
}

// Held from the read of the file to its replacement: the file itself is
// replaced by rename, so its lock lives beside it. Any process of the user
// can take it, so the wait is bounded and the refusal says what to do.
SessionResult<core::UniqueFd> lock_allowlist_file(const fs::path& root) {
    const auto failed = [](std::string text) {
        return fail(SessionError(core::CoreError(core::ErrorKind::Io, std::move(text))));
    };
    core::UniqueFd fd(::open((root / "allowlist.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return failed("allowlist lock: " + core::os_error_text(errno));
    const auto deadline = std::chrono::steady_clock::now() + kAllowlistLockWait;
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return failed("allowlist lock: " + core::os_error_text(errno));
        if (std::chrono::steady_clock::now() >= deadline) {
            return failed("another process holds " + core::quoted_path(root / "allowlist.lock") +
                          "; if no other change of yours to the allowlist is under way, remove that file and try "
                          "again; nothing changed");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return fd;
}

// A sealing write, like a record's, holds the key lock first.
struct AllowlistLock {
    core::UniqueFd key;
    core::UniqueFd file;
};

SessionResult<AllowlistLock> lock_allowlist(const fs::path& root, const core::MasterKey& key) {
    auto held = hold_key_for_writing(root, key);
    if (!held) return fail(std::move(held.error()));
    auto file = lock_allowlist_file(root);
    if (!file) return fail(std::move(file.error()));
    return AllowlistLock{std::move(*held), std::move(*file)};
}

void audit(const fs::path& root, const core::Clock& clock, core::AuditAction action, std::string result) {
    const core::FileAuditSink sink = core::FileAuditSink::under_root(root);
    (void)sink.record(core::AuditEvent(clock.now_rfc3339(), action, std::move(result)).by(core::Actor::Human));
}

// The file's entries once the key has shown they are the owner's; refused
// (and audited) otherwise.
SessionResult<std::vector<wrapper::AllowEntry>> sealed_entries(const fs::path& root, const core::MasterKey& key,
                                                               const core::Clock& clock) {
    auto contents = wrapper::read_allowlist(root);
    if (!contents) return fail(SessionError(std::move(contents.error())));
    using Form = wrapper::AllowlistContents::Form;
    if (contents->form == Form::Absent) return std::vector<wrapper::AllowEntry>();
    if (contents->form == Form::Earlier || !wrapper::sealed_by(*contents, key)) {
        audit(root, clock, core::AuditAction::Deny, "allowlist-refused:unsealed");
        return fail(SessionError::denied(std::string(contents->form == Form::Earlier ? kEarlierText : kNotSealedText)));
    }
    return std::move(contents->entries);
}

}  // namespace

SessionResult<wrapper::AllowEntry> allow_entry_for(const fs::path& program, std::vector<std::string> arguments,
                                                   bool more_arguments, std::vector<std::string> variables) {
    std::error_code error;
    fs::path canonical = fs::canonical(program, error);
    if (error || !fs::is_regular_file(canonical, error)) {
        return fail(
            SessionError(core::CoreError(core::ErrorKind::Io, "no such program " + core::quoted_path(program))));
    }
    for (const std::string& name : variables) {
        if (!is_variable_name(name)) {
            return fail(SessionError::other("not a variable name: " + core::quoted_path(name)));
        }
    }
    std::sort(variables.begin(), variables.end());
    variables.erase(std::unique(variables.begin(), variables.end()), variables.end());
    return wrapper::AllowEntry{std::move(canonical), std::move(arguments), more_arguments, std::move(variables)};
}

SessionResult<bool> allow_program(const fs::path& root, const core::MasterKey& key, wrapper::AllowEntry entry,
                                  const core::Clock& clock) {
    auto lock = lock_allowlist(root, key);
    if (!lock) return fail(std::move(lock.error()));
    auto entries = sealed_entries(root, key, clock);
    if (!entries) return fail(std::move(entries.error()));
    if (std::find(entries->begin(), entries->end(), entry) != entries->end()) return false;
    const std::string shown = entry.shown();
    entries->push_back(std::move(entry));
    if (auto written = wrapper::write_allowlist(root, *entries, key); !written) {
        return fail(SessionError(std::move(written.error())));
    }
    audit(root, clock, core::AuditAction::ScopeGrant, "allowlist-allow:" + shown);
    return true;
}

SessionResult<std::size_t> disallow_program(const fs::path& root, const core::MasterKey& key, const fs::path& program,
                                            const core::Clock& clock) {
    auto lock = lock_allowlist(root, key);
    if (!lock) return fail(std::move(lock.error()));
    auto entries = sealed_entries(root, key, clock);
    if (!entries) return fail(std::move(entries.error()));
    const fs::path canonical = wrapper::canonical_or_owned(program);
    const std::size_t removed = std::erase_if(*entries, [&](const wrapper::AllowEntry& entry) {
        return entry.program == program || entry.program == canonical;
    });
    if (removed == 0) return removed;
    if (auto written = wrapper::write_allowlist(root, *entries, key); !written) {
        return fail(SessionError(std::move(written.error())));
    }
    audit(root, clock, core::AuditAction::ScopeGrant, "allowlist-disallow:" + canonical.string());
    return removed;
}

SessionResult<wrapper::AllowlistContents> allowlist_to_seal(const fs::path& root) {
    auto contents = wrapper::read_allowlist(root);
    if (!contents) return fail(SessionError(std::move(contents.error())));
    for (wrapper::AllowEntry& entry : contents->entries) entry.program = wrapper::canonical_or_owned(entry.program);
    return std::move(*contents);
}

SessionResult<void> seal_allowlist(const fs::path& root, const core::MasterKey& key,
                                   const wrapper::AllowlistContents& shown, const core::Clock& clock) {
    auto lock = lock_allowlist(root, key);
    if (!lock) return fail(std::move(lock.error()));
    auto now = wrapper::read_allowlist(root);
    if (!now) return fail(SessionError(std::move(now.error())));
    if (now->form != shown.form || now->text != shown.text) {
        return fail(SessionError::other("the allowlist changed while it was shown; nothing sealed"));
    }
    if (auto written = wrapper::write_allowlist(root, shown.entries, key); !written) {
        return fail(SessionError(std::move(written.error())));
    }
    audit(root, clock, core::AuditAction::ScopeGrant,
          "allowlist-seal:" + std::to_string(shown.entries.size()) + " entries");
    return {};
}

}  // namespace tarnel::session
