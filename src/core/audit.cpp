#include "core/audit.hpp"

#include <fcntl.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "core/fd.hpp"
#include "core/os_error.hpp"
#include "core/fs.hpp"

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

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void member(Writer& writer, std::string_view name, std::string_view value) {
    writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
    writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

void member(Writer& writer, std::string_view name, const std::optional<std::string>& value) {
    if (value) member(writer, name, std::string_view(*value));
}

Result<void> write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(ErrorKind::Audit, "append audit log: " + os_error_text(errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

}  // namespace

std::string_view audit_action_word(AuditAction action) noexcept {
    return kActionWords[std::to_underlying(action)];
}

std::string_view actor_word(Actor actor) noexcept {
    return actor == Actor::Agent ? "agent" : "human";
}

std::string AuditEvent::to_json() const {
    rapidjson::StringBuffer buffer(nullptr, 128);
    Writer writer(buffer);
    writer.StartObject();
    member(writer, "ts", std::string_view(ts));
    member(writer, "action", audit_action_word(action));
    member(writer, "coordinate", coordinate);
    member(writer, "environment", environment);
    member(writer, "result", std::string_view(result));
    member(writer, "origin", origin);
    member(writer, "fingerprint", fingerprint);
    member(writer, "requester_note", requester_note);
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

Result<void> FileAuditSink::record(const AuditEvent& event) const {
    if (path_.has_parent_path()) {
        if (auto made = ensure_dir(path_.parent_path()); !made) return made;
    }
    struct stat before {};
    const bool existed = ::stat(path_.c_str(), &before) == 0;

    std::string line = event.to_json();
    line += '\n';

    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) return fail(ErrorKind::Audit, "open audit log: " + os_error_text(errno));
    if (!existed) {
        if (auto restricted = restrict(path_, 0600); !restricted) return restricted;
    }
    if (auto written = write_all(fd.get(), line); !written) return written;
    if (const int error = full_sync(fd.get()); error != 0) {
        return fail(ErrorKind::Audit, "fsync audit log: " + os_error_text(error));
    }
    return {};
}

}  // namespace tarnel::core
