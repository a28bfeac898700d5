#include "core/file_confirm.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <thread>

#include "core/fd.hpp"
#include "core/atomic_write.hpp"
#include "core/fs.hpp"
#include "core/json_writer.hpp"
#include "core/os_error.hpp"
#include "core/unicode_space.hpp"
#include "core/utf8.hpp"

namespace tarnel::core {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

using json::key;
using json::member;
using json::Writer;

std::optional<std::string> pending_json(std::string_view id, std::uint64_t created_unix,
                                        const ConfirmRequest& request) {
    rapidjson::StringBuffer buffer(nullptr, 128);
    Writer writer(buffer);
    const bool ok = writer.StartObject() && member(writer, "id", id) && key(writer, "created_unix") &&
                    writer.Uint64(created_unix) && key(writer, "request") && writer.StartObject() &&
                    json::member_or_null(writer, "resolved_command", request.resolved_command) &&
                    member(writer, "coordinate", std::string_view(request.coordinate)) &&
                    member(writer, "sensitivity", sensitivity_word(request.sensitivity)) &&
                    member(writer, "environment", std::string_view(request.environment)) &&
                    member(writer, "origin", actor_word(request.origin)) &&
                    json::member_or_null(writer, "requesting_process", request.requesting_process) &&
                    json::member_or_null(writer, "requester_description", request.requester_description) &&
                    json::member_or_null(writer, "action", request.action) && key(writer, "allow_password") &&
                    writer.Bool(request.allow_password) && writer.EndObject() && writer.EndObject();
    if (!ok) return std::nullopt;
    return std::string(buffer.GetString(), buffer.GetSize());
}

// A decision is a word; a larger file is not one and reads as a refusal.
constexpr std::size_t kMaxDecisionBytes = 4096;

// The decision text, or nothing while it is absent, unreadable or not UTF-8.
// A FIFO or a link planted under the name is refused, never waited on.
std::optional<std::string> read_decision(const fs::path& path) {
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    if (auto failed = read_regular_file(AT_FDCWD, path.c_str(), kMaxDecisionBytes, 0, bytes, size)) {
        if (failed->kind == FileReadError::Kind::TooLarge) return std::string("oversized");
        return std::nullopt;
    }
    std::string text(reinterpret_cast<const char*>(bytes.data()), size);
    if (!is_valid_utf8(text)) return std::nullopt;
    return text;
}

// now + timeout, saturating instead of overflowing for very long time-outs.
steady_clock::time_point deadline_after(milliseconds timeout) {
    const auto now = steady_clock::now();
    if (timeout <= milliseconds::zero()) return now;
    const auto room = std::chrono::duration_cast<milliseconds>(steady_clock::time_point::max() - now);
    if (timeout >= room) return steady_clock::time_point::max();
    return now + timeout;
}

}  // namespace

FileConfirmer::FileConfirmer(fs::path dir, milliseconds poll_interval, const Clock& clock)
    : dir_(std::move(dir)), poll_interval_(std::max(poll_interval, milliseconds(1))), clock_(&clock) {}

FileConfirmer FileConfirmer::under_root(const fs::path& root, const Clock& clock) {
    return FileConfirmer(root / "pending", kPollInterval, clock);
}

Decision FileConfirmer::confirm(const ConfirmRequest& request, milliseconds timeout) const {
    if (!ensure_dir(dir_)) return Decision::Denied;
    const auto id = publish_request(request);
    if (!id) return Decision::Denied;
    const Decision outcome = await_decision(*id, timeout);
    cleanup(*id);
    return outcome;
}

std::optional<std::string> FileConfirmer::publish_request(const ConfirmRequest& request) const {
    // An identifier whose request or decision file exists belongs to another
    // process with our pid (containers sharing a vault): taking it would let
    // the answer to that request decide this one.
    for (int attempt = 0; attempt < kMaxRequestIdAttempts; ++attempt) {
        std::string id = next_request_id(RequestKind::Confirmation, *clock_);
        struct stat info {};
        if (::lstat((dir_ / (id + ".decision")).c_str(), &info) == 0) continue;
        const auto json = pending_json(id, clock_->unix_secs(), request);
        if (!json) return std::nullopt;
        auto published = publish_new(dir_ / (id + ".json"), *json, "pending");
        if (!published) return std::nullopt;
        if (*published) return id;
    }
    return std::nullopt;
}

Decision FileConfirmer::await_decision(std::string_view id, milliseconds timeout) const {
    const auto deadline = deadline_after(timeout);
    const fs::path decision_path = dir_ / (std::string(id) + ".decision");
    for (;;) {
        if (const auto text = read_decision(decision_path)) {
            return trim_unicode_space(*text) == "approved" ? Decision::Approved : Decision::Denied;
        }
        const auto now = steady_clock::now();
        if (now >= deadline) return Decision::TimedOut;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(poll_interval_, deadline - now));
    }
}

void FileConfirmer::cleanup(std::string_view id) const {
    const std::string stem(id);
    ::unlink((dir_ / (stem + ".json")).c_str());
    ::unlink((dir_ / (stem + ".decision")).c_str());
}

}  // namespace tarnel::core
