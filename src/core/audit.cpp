#include "core/audit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "core/fd.hpp"
#include "core/fs.hpp"
#include "core/json_writer.hpp"
#include "core/os_error.hpp"

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

}  // namespace

std::string_view audit_action_word(AuditAction action) noexcept {
    return kActionWords[std::to_underlying(action)];
}

std::string_view actor_word(Actor actor) noexcept {
    return actor == Actor::Agent ? "agent" : "human";
}

Result<std::string> AuditEvent::to_json() const {
    rapidjson::StringBuffer buffer(nullptr, 128);
    json::Writer writer(buffer);
    const bool ok = writer.StartObject() && json::member(writer, "ts", ts) &&
                    json::member(writer, "action", audit_action_word(action)) &&
                    json::member_if_present(writer, "coordinate", coordinate) &&
                    json::member_if_present(writer, "environment", environment) &&
                    json::member(writer, "result", result) &&
                    json::member_if_present(writer, "origin", origin) &&
                    json::member_if_present(writer, "fingerprint", fingerprint) &&
                    json::member_if_present(writer, "requester_note", requester_note) &&
                    writer.EndObject();
    // Every member is a string, so only invalid UTF-8 can fail.
    if (!ok) return fail(ErrorKind::Serialization, "audit event text is not valid UTF-8");
    return json::text_of(buffer);
}

Result<void> FileAuditSink::record(const AuditEvent& event) const {
    if (path_.has_parent_path()) {
        if (auto made = ensure_dir(path_.parent_path()); !made) return made;
    }
    struct stat before {};
    const bool existed = ::stat(path_.c_str(), &before) == 0;

    auto json_line = event.to_json();
    if (!json_line) return fail(json_line.error());
    std::string line = std::move(*json_line);
    line += '\n';

    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) return fail(ErrorKind::Audit, "open audit log: " + os_error_text(errno));
    if (!existed) {
        if (auto restricted = restrict(path_, 0600); !restricted) return restricted;
    }
    if (const int error = write_all(fd.get(), line); error != 0) {
        return fail(ErrorKind::Audit, "append audit log: " + os_error_text(error));
    }
    if (const int error = full_sync(fd.get()); error != 0) {
        return fail(ErrorKind::Audit, "fsync audit log: " + os_error_text(error));
    }
    return {};
}

}  // namespace tarnel::core
