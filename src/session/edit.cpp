// Metadata edits. Lowering a high or inject-only secret needs a human, whose
// answer may take up to two minutes; the record's lock is never held across
// that wait. The edit looks at the record once, unlocked, to learn whether to
// ask; then, holding the lock, reads it again and applies the edits to that
// fresh version, so a value or a field written meanwhile is not overwritten
// with stale data.

#include "session/edit.hpp"

#include <string>
#include <utility>
#include <variant>

#include "core/store.hpp"
#include "session/arguments.hpp"
#include "session/session.hpp"
#include "session/writes.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDeniedText = "denied \u2014 sensitivity not lowered";
constexpr std::string_view kTimedOutText = "timed out \u2014 sensitivity not lowered";
constexpr std::string_view kChangedText =
    "sensitivity changed while the edit was pending \u2014 sensitivity not lowered";

SessionResult<core::SecretRecord> read_existing(const fs::path& dir, const core::Coordinate& at,
                                                const core::MasterKey& key) {
    auto current = core::read_record(dir, at, key);
    if (!current) return std::unexpected(std::move(current.error()));
    if (!*current) return fail(SessionError::not_found());
    return std::move(**current);
}

core::ConfirmRequest downgrade_request(const std::string& path, const std::string& environment,
                                       core::Sensitivity current, core::Sensitivity wanted, core::Actor origin) {
    core::ConfirmRequest request(path, current, environment, origin);
    request.resolved_command = "edit " + path + " --sensitivity " + std::string(core::sensitivity_word(wanted)) +
                               " (downgrade from " + std::string(core::sensitivity_debug_name(current)) + ")";
    request.allow_password = true;
    return request;
}

}  // namespace

SessionResult<core::SecretRecord> apply_edits(const core::SecretRecord& current, const MetadataEdits& edits,
                                              std::string_view environment, std::string_view updated) {
    if (edits.reference) {
        if (auto refusal = core::reference_edit_refusal(current.kind)) {
            return fail(SessionError::other(std::move(*refusal)));
        }
    }
    core::SecretRecord edited = current.clone();
    if (edits.sensitivity) edited.meta.sensitivity = *edits.sensitivity;
    if (edits.revealable) edited.meta.revealable = *edits.revealable;
    if (edits.description) edited.meta.description = std::string(*edits.description);
    if (edits.reference) std::get<core::ReferenceRecord>(edited.kind).ref = std::string(*edits.reference);
    edited.meta.environment = std::string(environment);
    edited.meta.updated = std::string(updated);
    return edited;
}

SessionResult<RecordView> Session::edit_metadata(std::string_view coordinate, OptText sensitivity,
                                                 OptText description, std::optional<bool> revealable,
                                                 OptText reference, OptText project) const {
    auto target = write_target(coordinate, project);
    if (!target) return fail(std::move(target.error()));
    const auto& [at, dir, path] = *target;
    if (auto sized = check_size("description", description, kMaxDescriptionBytes); !sized) {
        return fail(std::move(sized.error()));
    }
    if (auto sized = check_size("reference", reference, kMaxReferenceBytes); !sized) {
        return fail(std::move(sized.error()));
    }

    // The first look only decides whether a human must be asked.
    core::Sensitivity shown{};
    {
        auto seen = read_existing(dir, at, key_);
        if (!seen) return fail(std::move(seen.error()));
        shown = seen->meta.sensitivity;
    }
    MetadataEdits edits{.sensitivity = std::nullopt, .description = description, .reference = reference, .revealable = revealable};
    if (sensitivity) {
        auto parsed = parse_sensitivity(*sensitivity);
        if (!parsed) return fail(std::move(parsed.error()));
        edits.sensitivity = *parsed;
    }
    const std::optional<core::Sensitivity>& wanted = edits.sensitivity;
    const std::string environment = env_of(at);

    std::optional<core::Sensitivity> approved_from;
    if (wanted && core::downgrade_needs_confirmation(shown, *wanted)) {
        switch (confirm(downgrade_request(path, environment, shown, *wanted, principal_.actor), "downgrade")) {
            case core::Decision::TimedOut: return fail(SessionError::denied(std::string(kTimedOutText)));
            case core::Decision::Denied:
            case core::Decision::Forged: return fail(SessionError::denied(std::string(kDeniedText)));
            case core::Decision::Approved: approved_from = shown; break;
        }
    }

    auto lock = lock_existing(dir, at);
    if (!lock) return fail(std::move(lock.error()));
    if (!*lock) return fail(SessionError::not_found());
    auto fresh = read_existing(dir, at, key_);
    if (!fresh) return fail(std::move(fresh.error()));
    const core::Sensitivity before = fresh->meta.sensitivity;
    // An approval covers lowering from the level the human was shown. If the
    // record changed during the wait so that the downgrade now needs an
    // approval for another level (or needs one where none was asked), the
    // edit is refused rather than asked again: the approval already logged
    // stands, the file is untouched, and a retry shows the human the real level.
    if (wanted && core::downgrade_needs_confirmation(before, *wanted) && approved_from != before) {
        return fail(SessionError::denied(std::string(kChangedText)));
    }

    auto edited = apply_edits(*fresh, edits, environment, clock_->now_rfc3339());
    if (!edited) return fail(std::move(edited.error()));
    if (auto written = seal_and_write(dir, at, *edited, key_); !written) return fail(std::move(written.error()));
    // Audited under the lock, so the log orders edits of one record as they happened.
    if (wanted && *wanted < before) {
        audit(core::AuditAction::SensitivityDowngrade, "downgraded", path, environment);
    }
    audit(core::AuditAction::Edit, "metadata-updated", path, environment);
    return view_of(*edited, project);
}

}  // namespace tarnel::session
