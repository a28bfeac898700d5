#include "core/oversight/file_confirm.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "core/oversight/answer_proof.hpp"
#include "core/oversight/confirm_json.hpp"
#include "core/oversight/pending_confirmation.hpp"
#include "core/store/atomic_write.hpp"
#include "core/base/fd.hpp"
#include "core/keys/random.hpp"
#include "core/store/fs.hpp"
#include "core/codec/json_writer.hpp"
#include "core/base/os_error.hpp"
#include "core/codec/utf8.hpp"

namespace tarnel::core {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

using json::key;
using json::member;
using json::Writer;

// Bytes of randomness in a request, so two requests never carry the same proof.
constexpr std::size_t kNonceBytes = 16;

// The request as JSON with its last member, the proof, still to come.
std::optional<std::string> open_pending_json(std::string_view id, std::uint64_t created_unix,
                                             std::uint64_t expires_unix, std::string_view nonce,
                                             const ConfirmRequest& request) {
    rapidjson::StringBuffer buffer(nullptr, 128);
    Writer writer(buffer);
    bool ok = writer.StartObject() && member(writer, "id", id) && key(writer, "created_unix") &&
              writer.Uint64(created_unix) && key(writer, "request") && writer.StartObject() &&
              write_request_members(writer, request);
    ok = ok && writer.EndObject() && key(writer, "expires_unix") && writer.Uint64(expires_unix) &&
         member(writer, "nonce", nonce) && writer.EndObject();
    if (!ok) return std::nullopt;
    std::string text(buffer.GetString(), buffer.GetSize());
    text.pop_back();  // the closing brace comes after the proof
    return text;
}

void report_forgery(std::string_view id) {
    const std::string line = "tarnel: request " + std::string(id) +
                             " was answered \"approved\" without the owner's proof; counted as a denial\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

// A decision is a word; a larger file is not one and reads as a refusal.
constexpr std::size_t kMaxDecisionBytes = 4096;

// What a decision file holds: nothing yet (absent, unreadable or not UTF-8),
// a text to judge, or more bytes than any decision has, which is a refusal.
// A FIFO or a link planted under the name is refused, never waited on.
struct DecisionFile {
    enum class State : std::uint8_t { Absent, Text, Oversized } state = State::Absent;
    std::string text;
};

DecisionFile read_decision(const fs::path& path) {
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    if (auto failed = read_regular_file(AT_FDCWD, path.c_str(), kMaxDecisionBytes, 0, bytes, size)) {
        if (failed->kind == FileReadError::Kind::TooLarge) return {DecisionFile::State::Oversized, {}};
        return {};
    }
    std::string text(reinterpret_cast<const char*>(bytes.data()), size);
    if (!is_valid_utf8(text)) return {};
    return {DecisionFile::State::Text, std::move(text)};
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

FileConfirmer::FileConfirmer(fs::path dir, const MasterKey& key, milliseconds poll_interval, const Clock& clock)
    : dir_(std::move(dir)),
      poll_interval_(std::max(poll_interval, milliseconds(1))),
      clock_(&clock),
      request_key_(ProofKey::derive(key, ProofPurpose::Request)),
      answer_key_(ProofKey::derive(key, ProofPurpose::Answer)) {}

FileConfirmer FileConfirmer::under_root(const fs::path& root, const MasterKey& key, const Clock& clock) {
    return FileConfirmer(root / "pending", key, kPollInterval, clock);
}

Decision FileConfirmer::confirm(const ConfirmRequest& request, milliseconds timeout, const CancelToken& cancel) const {
    if (!request_key_ || !answer_key_) return Decision::Denied;
    if (cancel.cancelled()) return Decision::Withdrawn;
    if (!ensure_dir(dir_)) return Decision::Denied;
    const PendingDir pending(dir_);
    if (auto listed = pending.list()) pending.sweep_abandoned(*listed);
    const auto published = publish_request(request, timeout);
    if (!published) return Decision::Denied;
    const Decision outcome = await_decision(*published, timeout, cancel);
    cleanup(published->id);
    if (outcome == Decision::Forged) report_forgery(published->id);
    return outcome;
}

std::optional<FileConfirmer::Published> FileConfirmer::publish_request(const ConfirmRequest& request,
                                                                       milliseconds timeout) const {
    const auto nonce = random_hex(kNonceBytes);
    if (!nonce) return std::nullopt;
    // Whole seconds, rounded up: the owner's tool refuses an answer from then on.
    const auto wait_secs = static_cast<std::uint64_t>(
        std::chrono::ceil<std::chrono::seconds>(std::max(timeout, milliseconds::zero())).count());
    // An identifier whose request or decision file exists belongs to another
    // process with our pid (containers sharing a vault): taking it would let
    // the answer to that request decide this one.
    for (int attempt = 0; attempt < kMaxRequestIdAttempts; ++attempt) {
        std::string id = next_request_id(RequestKind::Confirmation, *clock_);
        struct stat info{};
        if (::lstat((dir_ / (id + ".decision")).c_str(), &info) == 0) continue;
        const std::uint64_t created = clock_->unix_secs();
        const auto json = open_pending_json(id, created, created + wait_secs, *nonce, request);
        if (!json) return std::nullopt;
        const std::string sealed = seal_object(*json, *request_key_);
        auto published = publish_new(dir_ / (id + ".json"), sealed, "pending");
        if (!published) return std::nullopt;
        if (!*published) continue;
        const auto checked = RequestId::parse(id);
        UniqueFd hold = checked ? PendingDir(dir_).hold(*checked) : UniqueFd();
        return Published{std::move(id), check_sealed_object(sealed, *request_key_).mac, std::move(hold)};
    }
    return std::nullopt;
}

Decision FileConfirmer::await_decision(const Published& request, milliseconds timeout,
                                       const CancelToken& cancel) const {
    const auto deadline = deadline_after(timeout);
    const fs::path decision_path = dir_ / (request.id + ".decision");
    for (;;) {
        // Looked at before the answer: once the caller gave up, no answer counts.
        if (cancel.cancelled()) return Decision::Withdrawn;
        const DecisionFile file = read_decision(decision_path);
        if (file.state == DecisionFile::State::Oversized) return Decision::Denied;
        if (file.state == DecisionFile::State::Text) return decision_of(file.text, request.mac, *answer_key_);
        const auto now = steady_clock::now();
        if (now >= deadline) return Decision::TimedOut;
        const auto pause =
            std::chrono::ceil<milliseconds>(std::min<steady_clock::duration>(poll_interval_, deadline - now));
        if (cancel.sleep_for(pause)) return Decision::Withdrawn;
    }
}

void FileConfirmer::cleanup(std::string_view id) const {
    const std::string stem(id);
    ::unlink((dir_ / (stem + ".json")).c_str());
    ::unlink((dir_ / (stem + ".decision")).c_str());
}

}  // namespace tarnel::core
