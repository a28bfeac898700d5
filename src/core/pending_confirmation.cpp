#include "core/pending_confirmation.hpp"

#include <rapidjson/document.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "core/atomic_write.hpp"
#include "core/request_id.hpp"

namespace tarnel::core {

namespace {

namespace fs = std::filesystem;

Result<ConfirmRequest> request_of(const rapidjson::Value& object) {
    auto coordinate = text_member(object, "coordinate");
    if (!coordinate) return fail(std::move(coordinate.error()));
    auto sensitivity = sensitivity_member(object, "sensitivity");
    if (!sensitivity) return fail(std::move(sensitivity.error()));
    auto environment = text_member(object, "environment");
    if (!environment) return fail(std::move(environment.error()));
    auto origin = actor_member(object, "origin");
    if (!origin) return fail(std::move(origin.error()));
    ConfirmRequest request(*coordinate, *sensitivity, *environment, *origin);

    for (auto [name, field] : {std::pair{"resolved_command", &ConfirmRequest::resolved_command},
                               std::pair{"requesting_process", &ConfirmRequest::requesting_process},
                               std::pair{"requester_description", &ConfirmRequest::requester_description},
                               std::pair{"action", &ConfirmRequest::action}}) {
        auto text = optional_text_member(object, name);
        if (!text) return fail(std::move(text.error()));
        request.*field = std::move(*text);
    }
    auto allow_password = bool_member(object, "allow_password");
    if (!allow_password) return fail(std::move(allow_password.error()));
    request.allow_password = *allow_password;
    return request;
}

Result<PendingConfirmation> confirmation_of(const rapidjson::Value& document, std::string_view id) {
    auto stored_id = text_member(document, "id");
    if (!stored_id) return fail(std::move(stored_id.error()));
    // A copy of another request under a new name must not pass for it.
    if (*stored_id != id) return fail(ErrorKind::Format, "`id` is not the file's name");
    auto created = unsigned_member(document, "created_unix");
    if (!created) return fail(std::move(created.error()));
    auto object = object_member(document, "request");
    if (!object) return fail(std::move(object.error()));
    auto request = request_of(**object);
    if (!request) return fail(std::move(request.error()));
    return PendingConfirmation{std::string(id), *created, std::move(*request)};
}

bool present(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

Result<PendingList> PendingDir::list() const {
    return collect_requests<PendingConfirmation>(dir_, [this](std::string_view id) { return find(id); });
}

Result<std::optional<PendingConfirmation>> PendingDir::find(std::string_view id) const {
    auto document = read_request_file(dir_, id);
    if (!document) return fail(std::move(document.error()));
    if (!*document) return std::optional<PendingConfirmation>();
    auto confirmation = confirmation_of(**document, id);
    if (!confirmation) return fail(std::move(confirmation.error()));
    confirmation->answered = present(dir_ / (std::string(id) + ".decision"));
    return std::optional<PendingConfirmation>(std::move(*confirmation));
}

bool PendingDir::waiting(std::string_view id) const { return present(dir_ / (std::string(id) + ".json")); }

Result<bool> PendingDir::answer(std::string_view id, Decision decision) const {
    if (!is_request_id(id)) return fail(ErrorKind::Format, "not a request identifier");
    const std::string_view word = decision == Decision::Approved ? "approved\n" : "denied\n";
    // Linked into place: the requester never reads half a word, and a second
    // answer cannot replace the first.
    return publish_new(dir_ / (std::string(id) + ".decision"), word, "decision");
}

void PendingDir::retract(std::string_view id) const {
    if (is_request_id(id)) ::unlink((dir_ / (std::string(id) + ".decision")).c_str());
}

}  // namespace tarnel::core
