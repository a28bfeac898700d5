#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/oversight/audit.hpp"
#include "core/base/error.hpp"
#include "core/base/fd.hpp"

namespace tarnel::core {

// One event read back from the log.
struct AuditRecord {
    AuditEvent event;
    // event.ts as seconds since the Unix epoch.
    std::int64_t unix_secs = 0;
    // Members this reader has no field for, in file order: a string's text,
    // any other value as compact JSON.
    std::vector<std::pair<std::string, std::string>> other;
};

// Reads one line of the log, without its line feed: exactly one JSON object
// in valid UTF-8 with no member twice; ts (an RFC 3339 time), action (a word
// of the vocabulary) and result present as strings, and the writer's other
// fields, where present, strings too. Anything else is a Format error whose
// text says what is wrong, never what the line holds.
Result<AuditRecord> parse_audit_line(std::string_view line);

// One line of the log as it was read.
struct AuditLine {
    std::uint64_t number = 0;  // from 1
    std::string text;          // without the line feed; empty when too_long
    bool too_long = false;
};

// Reads the log as it grows. Lines come out only once their line feed is in
// the file, so the line a writer is appending right now, or one a killed
// writer left unfinished at the end, is held back instead of read as
// garbage; the next writer starts a fresh line after such a remnant (see
// FileAuditSink), which then reads as one bad line. No lock is taken: a
// reader must not hold up the writers.
class AuditLogReader {
public:
    // Longer lines are passed over, reported as too_long.
    static constexpr std::size_t kMaxLineBytes = 1024 * 1024;

    explicit AuditLogReader(std::filesystem::path path) : path_(std::move(path)) {}
    static AuditLogReader under_root(const std::filesystem::path& root) { return AuditLogReader(root / "audit.log"); }

    const std::filesystem::path& path() const noexcept { return path_; }

    // Hands each complete line appended since the last call to `each`, in
    // order. A log that does not exist yet has no lines; a symbolic link,
    // FIFO or anything else that is not a regular file under the name is an
    // Audit error, as is a failed read.
    Result<void> read_new(const std::function<void(AuditLine&&)>& each);

private:
    Result<bool> open_if_present();
    void take(std::string_view bytes);

    std::filesystem::path path_;
    UniqueFd fd_;
    off_t offset_ = 0;
    std::string partial_;
    bool overlong_ = false;
    std::uint64_t next_number_ = 1;
};

}  // namespace tarnel::core
