#include "core/oversight/intake_inbox.hpp"

#include <rapidjson/document.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/base/os_error.hpp"
#include "core/oversight/request_id.hpp"

namespace tarnel::core {

namespace {

Result<PendingIntake> intake_of(const rapidjson::Value& document, const RequestId& id) {
    auto stored_id = text_member(document, "id");
    if (!stored_id) return fail(std::move(stored_id.error()));
    if (*stored_id != id.text()) return fail(ErrorKind::Format, "`id` is not the file's name");
    auto created = unsigned_member(document, "created_unix");
    if (!created) return fail(std::move(created.error()));
    auto coordinate = text_member(document, "coordinate");
    if (!coordinate) return fail(std::move(coordinate.error()));
    auto sensitivity = sensitivity_member(document, "sensitivity");
    if (!sensitivity) return fail(std::move(sensitivity.error()));
    auto environment = text_member(document, "environment");
    if (!environment) return fail(std::move(environment.error()));
    auto origin = actor_member(document, "origin");
    if (!origin) return fail(std::move(origin.error()));

    PendingIntake intake(*coordinate, *sensitivity, *environment, *origin);
    intake.id = *stored_id;
    intake.created_unix = *created;
    for (auto [name, field] :
         {std::pair{"requesting_process", &PendingIntake::requesting_process},
          std::pair{"description", &PendingIntake::description}, std::pair{"project", &PendingIntake::project}}) {
        auto text = optional_text_member(document, name);
        if (!text) return fail(std::move(text.error()));
        intake.*field = std::move(*text);
    }
    return intake;
}

}  // namespace

Result<IntakeList> IntakeInbox::list() const {
    return collect_requests<PendingIntake>(dir_, [this](const RequestId& id) { return find(id); });
}

Result<std::optional<PendingIntake>> IntakeInbox::find(const RequestId& id) const {
    auto document = read_request_file(dir_, id);
    if (!document) return fail(std::move(document.error()));
    if (!*document) return std::optional<PendingIntake>();
    auto intake = intake_of(**document, id);
    if (!intake) return fail(std::move(intake.error()));
    return std::optional<PendingIntake>(std::move(*intake));
}

Result<bool> IntakeInbox::remove(const RequestId& id) const {
    if (::unlink((dir_ / id.file_name(".json")).c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    return fail(ErrorKind::Io, "remove intake: " + os_error_text(errno));
}

}  // namespace tarnel::core
