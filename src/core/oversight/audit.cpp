#include "core/oversight/audit.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "core/base/fd.hpp"
#include "core/store/fs.hpp"
#include "core/codec/json_writer.hpp"
#include "core/base/os_error.hpp"

namespace tarnel::core {

namespace {

constexpr std::array<std::string_view, 15> kActionWords{
    "access",
    "reveal",
    "inject",
    "approve",
    "deny",
    "timeout",
    "sensitivity-downgrade",
    "unattended-delivery",
    "package",
    "provider-invocation",
    "create",
    "edit",
    "delete",
    "scope-grant",
    "out-of-scope-attempt",
};
// One word per action, in declaration order: a new action goes last in both.
static_assert(kActionWords.size() == std::to_underlying(AuditAction::OutOfScopeAttempt) + 1);

}  // namespace

std::string_view audit_action_word(AuditAction action) noexcept { return kActionWords[std::to_underlying(action)]; }

std::optional<AuditAction> audit_action_from_word(std::string_view word) noexcept {
    for (std::size_t i = 0; i < kActionWords.size(); ++i) {
        if (kActionWords[i] == word) return static_cast<AuditAction>(i);
    }
    return std::nullopt;
}

std::span<const std::string_view> audit_action_words() noexcept { return kActionWords; }

std::string_view actor_word(Actor actor) noexcept { return actor == Actor::Agent ? "agent" : "human"; }

Result<std::string> AuditEvent::to_json() const {
    rapidjson::StringBuffer buffer(nullptr, 128);
    json::Writer writer(buffer);
    const bool ok = writer.StartObject() && json::member(writer, "ts", ts) &&
                    json::member(writer, "action", audit_action_word(action)) &&
                    json::member_if_present(writer, "coordinate", coordinate) &&
                    json::member_if_present(writer, "environment", environment) &&
                    json::member(writer, "result", result) && json::member_if_present(writer, "origin", origin) &&
                    json::member_if_present(writer, "fingerprint", fingerprint) &&
                    json::member_if_present(writer, "requester_note", requester_note) && writer.EndObject();
    // Every member is a string, so only invalid UTF-8 can fail.
    if (!ok) return fail(ErrorKind::Serialization, "audit event text is not valid UTF-8");
    return json::text_of(buffer);
}

namespace {

bool ends_with_newline(int fd, off_t size) {
    char last = 0;
    return ::pread(fd, &last, 1, size - 1) == 1 && last == '\n';
}

// An exclusive flock held for a scope; appending goes on without it if
// locking fails, as it did before there was a lock.
class FileLock {
public:
    explicit FileLock(int fd) : fd_(fd), held_(::flock(fd, LOCK_EX) == 0) {}
    ~FileLock() {
        if (held_) ::flock(fd_, LOCK_UN);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
    bool held_;
};

// 0, or the errno value; a short write counts as the disk being full.
int write_once(int fd, std::string_view bytes) {
    for (;;) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        return static_cast<std::size_t>(n) == bytes.size() ? 0 : ENOSPC;
    }
}

}  // namespace

Result<void> AuditSink::record_all(std::span<const AuditEvent> events) const {
    Result<void> first;
    for (const AuditEvent& event : events) {
        auto recorded = record(event);
        if (!recorded && first) first = std::move(recorded);
    }
    return first;
}

Result<void> AuditBatch::record(const AuditEvent& event) const {
    const std::lock_guard held(mutex_);
    events_.push_back(event);
    return {};
}

Result<void> AuditBatch::flush() const {
    std::vector<AuditEvent> events;
    {
        const std::lock_guard held(mutex_);
        events.swap(events_);
    }
    if (events.empty()) return {};
    return sink_.record_all(events);
}

Result<void> FileAuditSink::record(const AuditEvent& event) const { return record_all(std::span(&event, 1)); }

Result<void> FileAuditSink::record_all(std::span<const AuditEvent> events) const {
    if (path_.has_parent_path()) {
        if (auto made = ensure_root(path_.parent_path()); !made) return made;
    }
    // An event that cannot be written as JSON is left out; the others are not.
    Result<void> first;
    std::string lines;
    for (const AuditEvent& event : events) {
        auto json_line = event.to_json();
        if (!json_line) {
            if (first) first = fail(json_line.error());
            continue;
        }
        lines += *json_line;
        lines += '\n';
    }
    if (lines.empty()) return first;

    // A link planted under the name is not followed, and a FIFO is not waited on.
    // Read as well as written: the last byte tells whether a line was left torn.
    UniqueFd fd(::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd) return fail(ErrorKind::Audit, "open audit log: " + os_error_text(errno));
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0) return fail(ErrorKind::Audit, "open audit log: " + os_error_text(errno));
    if (!S_ISREG(info.st_mode)) return fail(ErrorKind::Audit, "open audit log: not a regular file");
    // An append that a full disk cut short leaves half a line; the next event
    // starts a line of its own rather than finishing that one. The lock keeps
    // another appender from moving the end between the look and the write.
    const FileLock locked(fd.get());
    struct stat now{};
    if (::fstat(fd.get(), &now) == 0 && now.st_size > 0 && !ends_with_newline(fd.get(), now.st_size)) {
        lines.insert(lines.begin(), '\n');
    }
    // One write for all the lines, never a second for the rest: another
    // process's line must not land inside ours.
    if (const int error = write_once(fd.get(), lines); error != 0) {
        return fail(ErrorKind::Audit, "append audit log: " + os_error_text(error));
    }
    if (const int error = full_sync(fd.get()); error != 0) {
        return fail(ErrorKind::Audit, "fsync audit log: " + os_error_text(error));
    }
    return first;
}

}  // namespace tarnel::core
