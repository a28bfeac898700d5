#include "core/oversight/pending_confirmation.hpp"

#include <rapidjson/document.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <tuple>

#include "core/oversight/answer_proof.hpp"
#include "core/store/atomic_write.hpp"
#include "core/oversight/request_id.hpp"

namespace tarnel::core {

namespace {

namespace fs = std::filesystem;

Result<ShownVariable> variable_of(const rapidjson::Value& value) {
    if (!value.IsObject()) return fail(ErrorKind::Format, "`variables` must hold objects");
    auto name = text_member(value, "name");
    if (!name) return fail(std::move(name.error()));
    auto source = text_member(value, "source");
    if (!source) return fail(std::move(source.error()));
    auto text = text_member(value, "text");
    if (!text) return fail(std::move(text.error()));
    ShownVariable variable{std::move(*name), ShownVariable::Source::Literal, std::move(*text), std::nullopt,
                           std::nullopt};
    if (*source == "env") {
        variable.source = ShownVariable::Source::Env;
    } else if (*source == "vault") {
        variable.source = ShownVariable::Source::Vault;
        auto level = sensitivity_member(value, "sensitivity");
        if (level) variable.sensitivity = *level;
        if (const rapidjson::Value* fallback = nullable_member(value, "fallback")) {
            if (!fallback->IsString()) return fail(ErrorKind::Format, "`fallback` must be a string");
            variable.fallback = std::string(fallback->GetString(), fallback->GetStringLength());
        }
    } else if (*source != "literal") {
        return fail(ErrorKind::Format, "`source` must be literal, env or vault");
    }
    return variable;
}

Result<RunDetail> run_of(const rapidjson::Value& object) {
    if (!object.IsObject()) return fail(ErrorKind::Format, "`run` must be an object or null");
    auto program = text_member(object, "program");
    if (!program) return fail(std::move(program.error()));
    auto directory = text_member(object, "working_directory");
    if (!directory) return fail(std::move(directory.error()));
    RunDetail run{std::move(*program), {}, std::move(*directory), {}};
    const auto* arguments = nullable_member(object, "arguments");
    if (arguments == nullptr || !arguments->IsArray()) return fail(ErrorKind::Format, "`arguments` must be a list");
    for (const auto& argument : arguments->GetArray()) {
        if (!argument.IsString()) return fail(ErrorKind::Format, "`arguments` must hold strings");
        run.arguments.emplace_back(argument.GetString(), argument.GetStringLength());
    }
    const auto* variables = nullable_member(object, "variables");
    if (variables == nullptr || !variables->IsArray()) return fail(ErrorKind::Format, "`variables` must be a list");
    for (const auto& value : variables->GetArray()) {
        auto variable = variable_of(value);
        if (!variable) return fail(std::move(variable.error()));
        run.variables.push_back(std::move(*variable));
    }
    return run;
}

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
    if (const auto* run = nullable_member(object, "run")) {
        auto detail = run_of(*run);
        if (!detail) return fail(std::move(detail.error()));
        request.run = std::move(*detail);
    }
    return request;
}

Result<PendingConfirmation> confirmation_of(const rapidjson::Value& document, const RequestId& id) {
    auto stored_id = text_member(document, "id");
    if (!stored_id) return fail(std::move(stored_id.error()));
    // A copy of another request under a new name must not pass for it.
    if (*stored_id != id.text()) return fail(ErrorKind::Format, "`id` is not the file's name");
    auto created = unsigned_member(document, "created_unix");
    if (!created) return fail(std::move(created.error()));
    auto object = object_member(document, "request");
    if (!object) return fail(std::move(object.error()));
    auto request = request_of(**object);
    if (!request) return fail(std::move(request.error()));
    auto expires = unsigned_member(document, "expires_unix");
    if (!expires) return fail(std::move(expires.error()));
    return PendingConfirmation{id, *created, *expires, std::move(*request), false, {}};
}

bool present(const fs::path& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

Result<PendingList> PendingDir::list() const {
    return collect_requests<PendingConfirmation>(dir_, [this](const RequestId& id) { return find(id); });
}

Result<std::optional<PendingConfirmation>> PendingDir::find(const RequestId& id) const {
    auto text = read_request_text(dir_, id);
    if (!text) return fail(std::move(text.error()));
    if (!*text) return std::optional<PendingConfirmation>();
    auto document = parse_request_text(**text);
    if (!document) return fail(std::move(document.error()));
    auto confirmation = confirmation_of(*document, id);
    if (!confirmation) return fail(std::move(confirmation.error()));
    confirmation->answered = present(dir_ / id.file_name(".decision"));
    confirmation->text = std::move(**text);
    return std::optional<PendingConfirmation>(std::move(*confirmation));
}

bool PendingDir::waiting(const RequestId& id) const { return present(dir_ / id.file_name(".json")); }

namespace {

// Linked into place: the requester never reads half an answer, and a second
// answer cannot replace the first.
Result<bool> publish_answer(const fs::path& dir, const RequestId& id, std::string_view text) {
    return publish_new(dir / id.file_name(".decision"), text, "decision");
}

}  // namespace

Result<bool> PendingDir::deny(const RequestId& id) const { return publish_answer(dir_, id, kDenialAnswer); }

Result<bool> PendingDir::approve(const RequestId& id, const Proof& request_mac, const ProofKey& answer_key) const {
    return publish_answer(dir_, id, approval_answer(request_mac, answer_key));
}

void PendingDir::retract(const RequestId& id) const { ::unlink((dir_ / id.file_name(".decision")).c_str()); }

namespace {

// The request file itself, never through a link and never waiting on a FIFO.
UniqueFd open_request(const fs::path& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

// Whether the file was published long enough ago that its requester, were it
// alive, would hold it by now.
bool settled(int fd) {
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const std::time_t now = std::time(nullptr);
    return now - info.st_mtim.tv_sec > static_cast<std::time_t>(PendingDir::kAbandonedAfter);
}

}  // namespace

UniqueFd PendingDir::hold(const RequestId& id) const {
    UniqueFd fd = open_request(dir_ / id.file_name(".json"));
    if (fd && ::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) fd.reset();
    return fd;
}

void PendingDir::sweep_abandoned(PendingList& listing) const {
    const auto before = listing.requests.size();
    std::erase_if(listing.requests, [this](const PendingConfirmation& pending) {
        const fs::path path = dir_ / pending.id.file_name(".json");
        const UniqueFd fd = open_request(path);
        // A held file has a living requester.
        if (!fd || !settled(fd.get()) || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
        if (::unlink(path.c_str()) != 0) return false;
        retract(pending.id);
        return true;
    });
    listing.abandoned += before - listing.requests.size();
}

}  // namespace tarnel::core
