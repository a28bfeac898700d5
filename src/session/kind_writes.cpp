// Writes of the kinds other than a literal: a reference, a keypair made here,
// a TOTP enrolment. They follow set: same target, lock, refusals and audit.

#include <optional>
#include <string>
#include <utility>

#include "core/kinds/keypair.hpp"
#include "core/store/store.hpp"
#include "providers/reference_check.hpp"
#include "session/arguments.hpp"
#include "session/session.hpp"
#include "session/writes.hpp"

namespace tarnel::session {

namespace {

// set's rule: a new record is born with what was asked, an existing one keeps
// its own level, flag, description and creation time.
core::RecordMetadata metadata_for(const std::optional<core::SecretRecord>& current, const core::Coordinate& at,
                                  core::Sensitivity asked, OptText description, const std::string& now) {
    core::RecordMetadata meta;
    if (current) {
        meta = current->meta;
    } else {
        meta.sensitivity = core::born_sensitivity(at, asked);
        meta.revealable = false;
        if (description) meta.description = std::string(*description);
        meta.created = now;
    }
    meta.environment = env_of(at);
    meta.component = at.component();
    meta.key = at.key();
    meta.updated = now;
    return meta;
}

}  // namespace

SessionResult<RecordView> Session::write_kind(std::string_view coordinate, const KindMetadata& metadata,
                                              OptText project, std::string_view command, std::string_view created,
                                              const KindMaker& make) const {
    auto target = write_target(coordinate, project);
    if (!target) return fail(std::move(target.error()));
    const auto& [at, dir, path] = *target;
    auto asked = creation_sensitivity(metadata.sensitivity, metadata.description);
    if (!asked) return fail(std::move(asked.error()));

    {
        auto lock = lock_for_create(root_, key_, dir, at);
        if (!lock) return fail(std::move(lock.error()));
        auto current = core::read_record(dir, at, key_);
        if (!current) return std::unexpected(std::move(current.error()));
        if (current->has_value()) {
            if (auto refusal = core::overwrite_refusal((*current)->kind, coordinate, command)) {
                return fail(SessionError::other(std::move(*refusal)));
            }
        }
        // Made only once nothing stands in the way, so no key is generated for nothing.
        auto kind = make(path);
        if (!kind) return fail(std::move(kind.error()));

        const bool exists = current->has_value();
        const core::SecretRecord record{
            std::move(*kind), metadata_for(*current, at, *asked, metadata.description, clock_->now_rfc3339())};
        if (auto written = seal_and_write(dir, at, record, key_); !written) return fail(std::move(written.error()));
        if (!exists) {
            audit(core::AuditAction::Create, created, path, env_of(at));
            return view_of(record, project);
        }
        audit(core::AuditAction::Edit, "value-updated", path, env_of(at));
        if (metadata.empty()) return view_of(record, project);
    }
    // The lock is dropped: a downgrade may wait on a human.
    return edit_metadata(coordinate, metadata.sensitivity, metadata.description, std::nullopt, std::nullopt, project);
}

SessionResult<RecordView> Session::set_reference(std::string_view coordinate, std::string_view uri,
                                                 const KindMetadata& metadata, OptText project) const {
    auto sized = check_size("reference", uri, kMaxReferenceBytes);
    if (!sized) return fail(std::move(sized.error()));
    auto make = [&](std::string_view) -> SessionResult<core::RecordKind> {
        // A URI no provider could read would only fail later, at a run.
        auto checked = providers::check_reference(uri);
        if (!checked) return std::unexpected(std::move(checked.error()));
        return core::RecordKind(core::ReferenceRecord{std::string(uri)});
    };
    return write_kind(coordinate, metadata, project, "ref", "created", make);
}

SessionResult<KeypairMade> Session::create_keypair(std::string_view coordinate, OptText comment,
                                                   const KindMetadata& metadata, OptText project) const {
    std::string public_line;
    auto make = [&](std::string_view path) -> SessionResult<core::RecordKind> {
        auto pair = core::generate_ed25519(comment ? *comment : path);
        if (!pair) return std::unexpected(std::move(pair.error()));
        public_line = pair->public_line;
        return core::RecordKind(core::KeypairRecord{
            .algorithm = core::KeyAlgorithm::Ed25519,
            .private_key = std::move(pair->private_text),
            .public_key = std::move(pair->public_line),
        });
    };
    auto view = write_kind(coordinate, metadata, project, "keypair", "generated", make);
    if (!view) return fail(std::move(view.error()));
    return KeypairMade{std::move(*view), std::move(public_line)};
}

SessionResult<RecordView> Session::enrol_totp(std::string_view coordinate, const core::SecretValue& enrolment,
                                              const core::TotpSettings& settings, const KindMetadata& metadata,
                                              OptText project) const {
    if (enrolment.size() > kMaxEnrolmentBytes) {
        return fail(
            SessionError::other("the enrolment must be at most " + std::to_string(kMaxEnrolmentBytes) + " bytes"));
    }
    auto make = [&](std::string_view) -> SessionResult<core::RecordKind> {
        auto totp = core::parse_totp_enrolment(enrolment.expose_secret_chars(), settings);
        if (!totp) return std::unexpected(std::move(totp.error()));
        return core::RecordKind(std::move(*totp));
    };
    return write_kind(coordinate, metadata, project, "totp", "created", make);
}

}  // namespace tarnel::session
