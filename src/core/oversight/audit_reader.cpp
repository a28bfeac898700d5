#include "core/oversight/audit_reader.hpp"

#include <fcntl.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <optional>
#include <unordered_set>

#include "core/oversight/clock.hpp"
#include "core/codec/json_writer.hpp"
#include "core/base/os_error.hpp"

namespace tarnel::core {

namespace {

// The writer's fields, in its order.
enum Field : std::size_t {
    kTs,
    kAction,
    kCoordinate,
    kEnvironment,
    kResult,
    kOrigin,
    kFingerprint,
    kNote,
    kFieldCount
};

constexpr std::array<std::string_view, kFieldCount> kFieldNames{
    "ts", "action", "coordinate", "environment", "result", "origin", "fingerprint", "requester_note",
};

std::optional<std::size_t> field_of(std::string_view name) {
    for (std::size_t i = 0; i < kFieldNames.size(); ++i) {
        if (kFieldNames[i] == name) return i;
    }
    return std::nullopt;
}

// Collects the members of the line's object. A member this reader does not
// know is kept whole: a container value is written back out as compact JSON
// while it streams past, so nothing is nested on the stack.
class LineHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, LineHandler> {
public:
    bool StartObject() {
        if (!started_) return started_ = true;
        return open_container([](json::Writer& writer) { return writer.StartObject(); });
    }
    bool EndObject(rapidjson::SizeType) {
        if (nested_ == 0) return true;  // the line's own object
        return close_container([](json::Writer& writer) { return writer.EndObject(); });
    }
    bool StartArray() {
        if (!started_) return reject("not a JSON object");
        return open_container([](json::Writer& writer) { return writer.StartArray(); });
    }
    bool EndArray(rapidjson::SizeType) {
        return close_container([](json::Writer& writer) { return writer.EndArray(); });
    }
    bool Key(const char* chars, rapidjson::SizeType length, bool) {
        if (nested_ > 0) return writer_->Key(chars, length);
        key_.assign(chars, length);
        field_ = field_of(key_);
        if (!seen_.insert(key_).second) {
            return reject(field_ ? "duplicate member `" + key_ + "`" : std::string("a member appears twice"));
        }
        return true;
    }
    bool String(const char* chars, rapidjson::SizeType length, bool) {
        if (!started_) return reject("not a JSON object");
        if (nested_ > 0) return writer_->String(chars, length);
        if (field_) {
            fields_[*field_].emplace(chars, length);
        } else {
            other_.emplace_back(key_, std::string(chars, length));
        }
        return true;
    }
    bool RawNumber(const char* chars, rapidjson::SizeType length, bool) {
        return scalar(std::string_view(chars, length),
                      [&](json::Writer& writer) { return writer.RawValue(chars, length, rapidjson::kNumberType); });
    }
    bool Bool(bool value) {
        const std::string_view text = value ? "true" : "false";
        return scalar(text, [&](json::Writer& writer) { return writer.Bool(value); });
    }
    bool Null() {
        return scalar("null", [](json::Writer& writer) { return writer.Null(); });
    }
    // Numbers arrive as raw text only; anything else is a fault of this handler.
    bool Default() { return reject("unexpected value"); }

    const std::string& problem() const { return problem_; }
    Result<AuditRecord> finish() &&;

private:
    template <class Write>
    bool scalar(std::string_view text, Write write) {
        if (!started_) return reject("not a JSON object");
        if (nested_ > 0) return write(*writer_);
        if (field_) return reject("`" + key_ + "` is not a string");
        other_.emplace_back(key_, std::string(text));
        return true;
    }
    template <class Write>
    bool open_container(Write write) {
        if (nested_ == 0) {
            if (field_) return reject("`" + key_ + "` is not a string");
            buffer_.Clear();
            writer_.emplace(buffer_);
        }
        ++nested_;
        return write(*writer_);
    }
    template <class Write>
    bool close_container(Write write) {
        if (!write(*writer_)) return false;
        if (--nested_ == 0) {
            other_.emplace_back(key_, json::text_of(buffer_));
            writer_.reset();
        }
        return true;
    }
    bool reject(std::string problem) {
        problem_ = std::move(problem);
        return false;
    }

    bool started_ = false;
    std::size_t nested_ = 0;
    std::string key_;
    std::optional<std::size_t> field_;
    std::unordered_set<std::string> seen_;
    std::array<std::optional<std::string>, kFieldCount> fields_;
    std::vector<std::pair<std::string, std::string>> other_;
    rapidjson::StringBuffer buffer_;
    std::optional<json::Writer> writer_;
    std::string problem_;
};

Result<AuditRecord> LineHandler::finish() && {
    for (const std::size_t required : {kTs, kAction, kResult}) {
        if (!fields_[required]) {
            return fail(ErrorKind::Format, "missing `" + std::string(kFieldNames[required]) + "`");
        }
    }
    const auto secs = parse_rfc3339(*fields_[kTs]);
    if (!secs) return fail(ErrorKind::Format, "`ts` is not an RFC 3339 time");
    const auto action = audit_action_from_word(*fields_[kAction]);
    if (!action) return fail(ErrorKind::Format, "unknown action");

    AuditRecord record{AuditEvent(std::move(*fields_[kTs]), *action, std::move(*fields_[kResult])), *secs,
                       std::move(other_)};
    record.event.coordinate = std::move(fields_[kCoordinate]);
    record.event.environment = std::move(fields_[kEnvironment]);
    record.event.origin = std::move(fields_[kOrigin]);
    record.event.fingerprint = std::move(fields_[kFingerprint]);
    record.event.requester_note = std::move(fields_[kNote]);
    return record;
}

}  // namespace

Result<AuditRecord> parse_audit_line(std::string_view line) {
    // The reader takes a NUL for the end of its input and would not look past it.
    if (line.find('\0') != std::string_view::npos) return fail(ErrorKind::Format, "contains a NUL byte");
    constexpr unsigned kFlags =
        rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    LineHandler handler;
    rapidjson::MemoryStream stream(line.data(), line.size());
    rapidjson::Reader reader;
    const rapidjson::ParseResult parsed = reader.Parse<kFlags>(stream, handler);
    if (!handler.problem().empty()) return fail(ErrorKind::Format, handler.problem());
    if (parsed.IsError()) {
        return fail(ErrorKind::Format, std::string("not JSON: ") + rapidjson::GetParseError_En(parsed.Code()));
    }
    return std::move(handler).finish();
}

Result<bool> AuditLogReader::open_if_present() {
    if (fd_) return true;
    // Neither a planted link is followed nor a FIFO waited on.
    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return false;
        if (errno == ELOOP) return fail(ErrorKind::Audit, "open audit log: a symbolic link; not following it");
        return fail(ErrorKind::Audit, "open audit log: " + os_error_text(errno));
    }
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0) return fail(ErrorKind::Audit, "open audit log: " + os_error_text(errno));
    if (!S_ISREG(info.st_mode)) return fail(ErrorKind::Audit, "open audit log: not a regular file");
    fd_ = std::move(fd);
    return true;
}

void AuditLogReader::take(std::string_view bytes) {
    if (overlong_) return;
    if (partial_.size() + bytes.size() > kMaxLineBytes) {
        overlong_ = true;
        std::string().swap(partial_);
        return;
    }
    partial_.append(bytes);
}

Result<void> AuditLogReader::read_new(const std::function<void(AuditLine&&)>& each) {
    auto opened = open_if_present();
    if (!opened) return fail(opened.error());
    if (!*opened) return {};

    std::array<char, 64 * 1024> chunk{};
    for (;;) {
        const ssize_t n = ::pread(fd_.get(), chunk.data(), chunk.size(), offset_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(ErrorKind::Audit, "read audit log: " + os_error_text(errno));
        if (n == 0) return {};
        offset_ += n;
        std::string_view rest(chunk.data(), static_cast<std::size_t>(n));
        for (std::size_t end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
            take(rest.substr(0, end));
            rest.remove_prefix(end + 1);
            AuditLine line{.number = next_number_++, .text = {}, .too_long = overlong_};
            if (!overlong_) line.text = std::exchange(partial_, {});
            overlong_ = false;
            each(std::move(line));
        }
        take(rest);
    }
}

}  // namespace tarnel::core
