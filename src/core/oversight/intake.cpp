#include "core/oversight/intake.hpp"

#include <utility>

#include "core/store/atomic_write.hpp"
#include "core/store/fs.hpp"
#include "core/codec/json_writer.hpp"

namespace tarnel::core {

namespace {

using json::key;
using json::member;
using json::Writer;

Result<std::string> intake_json(const PendingIntake& intake) {
    rapidjson::StringBuffer buffer(nullptr, 128);
    Writer writer(buffer);
    const bool ok = writer.StartObject() && member(writer, "id", std::string_view(intake.id)) &&
                    key(writer, "created_unix") && writer.Uint64(intake.created_unix) &&
                    member(writer, "coordinate", std::string_view(intake.coordinate)) &&
                    member(writer, "sensitivity", sensitivity_word(intake.sensitivity)) &&
                    member(writer, "environment", std::string_view(intake.environment)) &&
                    member(writer, "origin", actor_word(intake.origin)) &&
                    json::member_or_null(writer, "requesting_process", intake.requesting_process) &&
                    json::member_or_null(writer, "description", intake.description) &&
                    json::member_or_null(writer, "project", intake.project) && writer.EndObject();
    // Every value is a string, integer or null, so only invalid UTF-8 can fail.
    if (!ok) return fail(ErrorKind::Io, "serialize intake: text is not valid UTF-8");
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

PendingIntake::PendingIntake(std::string_view coordinate, Sensitivity sensitivity, std::string_view environment,
                             Actor origin)
    : coordinate(coordinate), sensitivity(sensitivity), environment(environment), origin(origin) {}

PendingIntake PendingIntake::with_description(std::string_view text) && {
    description = std::string(text);
    return std::move(*this);
}

PendingIntake PendingIntake::with_requesting_process(std::string_view process) && {
    requesting_process = std::string(process);
    return std::move(*this);
}

PendingIntake PendingIntake::with_project(std::optional<std::string> name) && {
    if (name && name->empty()) name.reset();
    project = std::move(name);
    return std::move(*this);
}

Result<PendingIntake> IntakeBroker::create(PendingIntake intake) const {
    if (auto made = ensure_dir(dir_); !made) return fail(made.error());
    // Another process can hold the same pid (containers sharing a vault), so
    // an identifier may already be taken: the next counter value is tried,
    // and an existing request is never replaced.
    for (int attempt = 0; attempt < kMaxRequestIdAttempts; ++attempt) {
        intake.id = next_request_id(RequestKind::Intake, *clock_);
        intake.created_unix = clock_->unix_secs();
        const auto json = intake_json(intake);
        if (!json) return fail(json.error());
        auto published = publish_new(dir_ / (intake.id + ".json"), *json, "intake");
        if (!published) return fail(published.error());
        if (*published) return intake;
    }
    return fail(ErrorKind::Io, "write intake: no free request identifier");
}

}  // namespace tarnel::core
