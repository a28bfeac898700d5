#include "core/oversight/confirm_json.hpp"

#include <string>

#include "core/model/sensitivity.hpp"
#include "core/oversight/audit.hpp"

namespace tarnel::core {

namespace {

using json::key;
using json::member;
using json::Writer;

bool text(Writer& writer, std::string_view value) {
    return writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

bool run_json(Writer& writer, const RunDetail& run) {
    bool ok = writer.StartObject() && member(writer, "program", run.program) && key(writer, "arguments") &&
              writer.StartArray();
    for (const std::string& argument : run.arguments) ok = ok && text(writer, argument);
    ok = ok && writer.EndArray() && member(writer, "working_directory", run.working_directory) &&
         key(writer, "variables") && writer.StartArray();
    for (const ShownVariable& variable : run.variables) {
        ok = ok && writer.StartObject() && member(writer, "name", variable.name) &&
             member(writer, "source", shown_source_word(variable.source)) && member(writer, "text", variable.text) &&
             key(writer, "sensitivity") &&
             (variable.sensitivity ? text(writer, sensitivity_word(*variable.sensitivity)) : writer.Null()) &&
             json::member_if_present(writer, "fallback", variable.fallback) && writer.EndObject();
    }
    return ok && writer.EndArray() && writer.EndObject();
}

}  // namespace

bool write_request_members(Writer& writer, const ConfirmRequest& request) {
    return json::member_or_null(writer, "resolved_command", request.resolved_command) &&
           member(writer, "coordinate", request.coordinate) &&
           member(writer, "sensitivity", sensitivity_word(request.sensitivity)) &&
           member(writer, "environment", request.environment) && member(writer, "origin", actor_word(request.origin)) &&
           json::member_or_null(writer, "requesting_process", request.requesting_process) &&
           json::member_or_null(writer, "requester_description", request.requester_description) &&
           json::member_or_null(writer, "action", request.action) && key(writer, "allow_password") &&
           writer.Bool(request.allow_password) && key(writer, "run") &&
           (request.run ? run_json(writer, *request.run) : writer.Null());
}

}  // namespace tarnel::core
