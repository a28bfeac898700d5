// Metadata edits. Lowering a high or inject-only secret needs a human, whose
// answer may take up to two minutes; the record's lock is never held across
// that wait. The edit looks at the record once, unlocked, to learn whether to
// ask; then, holding the lock, reads it again and applies the edits to that
// fresh version, so a value or a field written meanwhile is not overwritten
// with stale data.

#include <string>
#include <utility>
#include <variant>

#include "core/file_confirm.hpp"
#include "core/store.hpp"
#include "ffi/session.hpp"
#include "ffi/session_edit.hpp"
#include "ffi/session_writes.hpp"

namespace tarnel::ffi {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDeniedText = "denied \u2014 sensitivity not lowered";
constexpr std::string_view kTimedOutText = "timed out \u2014 sensitivity not lowered";
constexpr std::string_view kChangedText =
    "sensitivity changed while the edit was pending \u2014 sensitivity not lowered";

// Lowering medium to low, raising, and keeping the level are free.
bool needs_confirmation(core::Sensitivity current, core::Sensitivity wanted) {
    return wanted < current && current >= core::Sensitivity::High;
}

std::string_view kind_phrase(const core::RecordKind& kind) {
    if (std::holds_alternative<core::LiteralRecord>(kind)) return "literal";
    if (std::holds_alternative<core::KeypairRecord>(kind)) return "keypair";
    if (std::holds_alternative<core::TotpRecord>(kind)) return "TOTP enrollment";
    return "reference secret";
}

FfiResult<core::SecretRecord> read_existing(const fs::path& dir, const core::Coordinate& at,
                                            const core::MasterKey& key) {
    auto current = core::read_record(dir, at, key);
    if (!current) return std::unexpected(FfiError(std::move(current.error())));
    if (!*current) return std::unexpected(FfiError::not_found());
    return std::move(**current);
}

core::ConfirmRequest downgrade_request(const std::string& path, const std::string& environment,
                                       core::Sensitivity current, core::Sensitivity wanted) {
    core::ConfirmRequest request(path, current, environment, core::Actor::Agent);
    request.resolved_command = "edit " + path + " --sensitivity " + std::string(core::sensitivity_word(wanted)) +
                               " (downgrade from " + std::string(core::sensitivity_debug_name(current)) + ")";
    request.allow_password = true;
    return request;
}

}  // namespace

FfiResult<core::SecretRecord> apply_edits(const core::SecretRecord& current,
                                          std::optional<core::Sensitivity> sensitivity, OptText description,
                                          OptText reference, std::optional<bool> revealable,
                                          std::string_view environment, std::string_view updated) {
    if (reference && !std::holds_alternative<core::ReferenceRecord>(current.kind)) {
        return std::unexpected(FfiError::other("`reference` edits a reference secret; this is a " +
                                               std::string(kind_phrase(current.kind))));
    }
    core::SecretRecord edited = current.clone();
    if (sensitivity) edited.meta.sensitivity = *sensitivity;
    if (revealable) edited.meta.revealable = *revealable;
    if (description) edited.meta.description = std::string(*description);
    if (reference) std::get<core::ReferenceRecord>(edited.kind).ref = std::string(*reference);
    edited.meta.environment = std::string(environment);
    edited.meta.updated = std::string(updated);
    return edited;
}

FfiResult<RecordView> Session::edit_metadata(std::string_view coordinate, OptText sensitivity,
                                             OptText description, std::optional<bool> revealable,
                                             OptText reference, OptText project) const {
    const core::FileConfirmer confirmer = core::FileConfirmer::under_root(root_);
    return edit_metadata_with(confirmer, kDowngradeTimeout, coordinate, sensitivity, description, revealable,
                              reference, project);
}

FfiResult<RecordView> Session::edit_metadata_with(const core::Confirmer& confirmer,
                                                  std::chrono::milliseconds timeout,
                                                  std::string_view coordinate, OptText sensitivity,
                                                  OptText description, std::optional<bool> revealable,
                                                  OptText reference, OptText project) const {
    auto target = write_target(coordinate, project);
    if (!target) return std::unexpected(std::move(target.error()));
    const auto& [at, dir, path] = *target;

    // The first look only decides whether a human must be asked.
    core::Sensitivity shown{};
    {
        auto seen = read_existing(dir, at, key_);
        if (!seen) return std::unexpected(std::move(seen.error()));
        shown = seen->meta.sensitivity;
    }
    std::optional<core::Sensitivity> wanted;
    if (sensitivity) {
        auto parsed = parse_sensitivity(*sensitivity);
        if (!parsed) return std::unexpected(std::move(parsed.error()));
        wanted = *parsed;
    }
    const std::string environment = env_of(at);

    std::optional<core::Sensitivity> approved_from;
    if (wanted && needs_confirmation(shown, *wanted)) {
        const core::ConfirmRequest request = downgrade_request(path, environment, shown, *wanted);
        switch (confirmer.confirm(request, timeout)) {
            case core::Decision::TimedOut:
                audit(core::AuditAction::Timeout, "timeout-downgrade", path, environment);
                return std::unexpected(FfiError::denied(std::string(kTimedOutText)));
            case core::Decision::Denied:
                audit(core::AuditAction::Deny, "denied-downgrade", path, environment);
                return std::unexpected(FfiError::denied(std::string(kDeniedText)));
            case core::Decision::Approved:
                audit(core::AuditAction::Approve, "approved-downgrade", path, environment);
                approved_from = shown;
                break;
        }
    }

    auto lock = lock_existing(dir, at);
    if (!lock) return std::unexpected(std::move(lock.error()));
    if (!*lock) return std::unexpected(FfiError::not_found());
    auto fresh = read_existing(dir, at, key_);
    if (!fresh) return std::unexpected(std::move(fresh.error()));
    const core::Sensitivity before = fresh->meta.sensitivity;
    // An approval covers lowering from the level the human was shown. If the
    // record changed during the wait so that the downgrade now needs an
    // approval for another level (or needs one where none was asked), the
    // edit is refused rather than asked again: the approval already logged
    // stands, the file is untouched, and a retry shows the human the real level.
    if (wanted && needs_confirmation(before, *wanted) && approved_from != before) {
        return std::unexpected(FfiError::denied(std::string(kChangedText)));
    }

    auto edited = apply_edits(*fresh, wanted, description, reference, revealable, environment,
                              clock_.now_rfc3339());
    if (!edited) return std::unexpected(std::move(edited.error()));
    if (auto written = seal_and_write(dir, at, *edited, key_); !written) {
        return std::unexpected(std::move(written.error()));
    }
    // Audited under the lock, so the log orders edits of one record as they happened.
    if (wanted && *wanted < before) {
        audit(core::AuditAction::SensitivityDowngrade, "downgraded", path, environment);
    }
    audit(core::AuditAction::Edit, "metadata-updated", path, environment);
    return view_of(*edited, project);
}

}  // namespace tarnel::ffi
