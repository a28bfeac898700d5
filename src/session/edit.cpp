// Metadata edits. Lowering a high or inject-only secret needs a human, whose
// answer may take up to two minutes; the record's lock is never held across
// that wait. The edit looks at the record once, unlocked, to learn whether to
// ask; then, holding the lock, reads it again and applies the edits to that
// fresh version, so a value or a field written meanwhile is not overwritten
// with stale data.

#include "session/edit.hpp"

#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/store/store.hpp"
#include "session/arguments.hpp"
#include "session/session.hpp"
#include "session/writes.hpp"

namespace tarnel::session {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kChangedText =
    "sensitivity changed while the edit was pending \u2014 sensitivity not lowered";

SessionResult<core::SecretRecord> read_existing(const fs::path& dir, const core::Coordinate& at,
                                                const core::MasterKey& key) {
    auto current = core::read_record(dir, at, key);
    if (!current) return std::unexpected(std::move(current.error()));
    if (!*current) return fail(SessionError::not_found());
    return std::move(**current);
}

constexpr std::string_view kRecordChangedText = "the secret changed while the edit was pending \u2014 nothing changed";

// What of an edit lowers protection and so waits for the owner: a lower
// sensitivity (from high or inject-only), a value made revealable to agents,
// and a reference pointed elsewhere (the owner's cloud credentials read it).
struct Lowering {
    std::optional<core::Sensitivity> downgrade_from;
    bool reveals = false;
    std::optional<std::string> repoint_from;

    bool any() const { return downgrade_from || reveals || repoint_from; }
    friend bool operator==(const Lowering&, const Lowering&) = default;
};

Lowering lowering_of(const core::SecretRecord& current, const MetadataEdits& edits) {
    Lowering lowering;
    if (edits.sensitivity && core::downgrade_needs_confirmation(current.meta.sensitivity, *edits.sensitivity)) {
        lowering.downgrade_from = current.meta.sensitivity;
    }
    lowering.reveals = edits.revealable == true && !current.meta.revealable;
    const auto* reference = std::get_if<core::ReferenceRecord>(&current.kind);
    if (edits.reference && reference != nullptr && reference->ref != *edits.reference) {
        lowering.repoint_from = reference->ref;
    }
    return lowering;
}

// The audit words of each part: "approved-downgrade", "denied-revealable", ...
std::vector<std::string_view> what_of(const Lowering& lowering) {
    std::vector<std::string_view> what;
    if (lowering.downgrade_from) what.push_back("downgrade");
    if (lowering.reveals) what.push_back("revealable");
    if (lowering.repoint_from) what.push_back("reference");
    return what;
}

core::ConfirmRequest lowering_request(const std::string& path, const std::string& environment,
                                      const core::SecretRecord& current, const MetadataEdits& edits,
                                      const Lowering& lowering, core::Actor origin) {
    core::ConfirmRequest request(path, current.meta.sensitivity, environment, origin);
    std::string command = "edit " + path;
    std::string action;
    if (lowering.downgrade_from) {
        command += " --sensitivity " + std::string(core::sensitivity_word(*edits.sensitivity)) + " (downgrade from " +
                   std::string(core::sensitivity_debug_name(*lowering.downgrade_from)) + ")";
    }
    if (lowering.reveals) {
        command += " --revealable true";
        action = "make the value revealable to agents";
    }
    if (lowering.repoint_from) {
        command += " --reference " + std::string(*edits.reference) + " (was " + *lowering.repoint_from + ")";
        if (!action.empty()) action += "; ";
        action += "point the reference at " + std::string(*edits.reference) + " instead of " + *lowering.repoint_from;
    }
    request.resolved_command = std::move(command);
    if (!action.empty()) request.action = std::move(action);
    request.allow_password = true;
    return request;
}

std::string refusal_text(std::string_view outcome, const Lowering& lowering) {
    if (lowering.downgrade_from) return std::string(outcome) + " \u2014 sensitivity not lowered";
    if (lowering.reveals) return std::string(outcome) + " \u2014 not made revealable";
    return std::string(outcome) + " \u2014 reference not changed";
}

// Asks the owner when the edit lowers protection; what was approved, or
// nothing to approve, is what the edit may do once the record is locked.
using Asker = std::function<core::Decision(const core::ConfirmRequest&, const std::vector<std::string_view>&)>;
SessionResult<Lowering> approved_lowering(const core::SecretRecord& seen, const MetadataEdits& edits,
                                          const std::string& path, const std::string& environment, core::Actor actor,
                                          const Asker& ask) {
    const Lowering lowering = lowering_of(seen, edits);
    if (!lowering.any()) return lowering;
    const auto request = lowering_request(path, environment, seen, edits, lowering, actor);
    switch (ask(request, what_of(lowering))) {
        case core::Decision::Approved: return lowering;
        case core::Decision::TimedOut: return fail(SessionError::denied(refusal_text("timed out", lowering)));
        case core::Decision::Withdrawn:
            return fail(
                SessionError::denied(refusal_text("cancelled by the caller; the request was withdrawn", lowering)));
        case core::Decision::Denied:
        case core::Decision::Forged: break;
    }
    return fail(SessionError::denied(refusal_text("denied", lowering)));
}

// An approval covers exactly what the human was shown. If the record changed
// during the wait so that the edit now lowers something else (a downgrade from
// another level, a reference that is no longer the one shown), the edit is
// refused rather than asked again: the approval already logged stands, the
// file is untouched, and a retry shows the human the real state.
SessionResult<void> still_as_approved(const core::SecretRecord& fresh, const MetadataEdits& edits,
                                      const Lowering& approved) {
    const Lowering now = lowering_of(fresh, edits);
    if (!now.any() || now == approved) return {};
    if (now.downgrade_from != approved.downgrade_from) return fail(SessionError::denied(std::string(kChangedText)));
    return fail(SessionError::denied(std::string(kRecordChangedText)));
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

SessionResult<RecordView> Session::edit_metadata(std::string_view coordinate, OptText sensitivity, OptText description,
                                                 std::optional<bool> revealable, OptText reference, OptText project,
                                                 const core::CancelToken& cancel) const {
    auto target = write_target(coordinate, project);
    if (!target) return fail(std::move(target.error()));
    const auto& [at, dir, path] = *target;
    if (auto sized = check_size("description", description, kMaxDescriptionBytes); !sized) {
        return fail(std::move(sized.error()));
    }
    if (auto sized = check_size("reference", reference, kMaxReferenceBytes); !sized) {
        return fail(std::move(sized.error()));
    }

    MetadataEdits edits{
        .sensitivity = std::nullopt, .description = description, .reference = reference, .revealable = revealable};
    const std::optional<core::Sensitivity>& wanted = edits.sensitivity;
    const std::string environment = env_of(at);

    // The first look only decides whether a human must be asked. It comes
    // before the sensitivity word is read, as a missing record answers first.
    Lowering approved;
    {
        auto seen = read_existing(dir, at, key_);
        if (!seen) return fail(std::move(seen.error()));
        if (sensitivity) {
            auto parsed = parse_sensitivity(*sensitivity);
            if (!parsed) return fail(std::move(parsed.error()));
            edits.sensitivity = *parsed;
        }
        const Asker ask = [this, &cancel](const core::ConfirmRequest& request,
                                          const std::vector<std::string_view>& what) {
            return confirm(request, what, cancel);
        };
        auto asked = approved_lowering(*seen, edits, path, environment, principal_.actor, ask);
        if (!asked) return fail(std::move(asked.error()));
        approved = *asked;
    }

    auto lock = lock_existing(root_, key_, dir, at);
    if (!lock) return fail(std::move(lock.error()));
    if (!*lock) return fail(SessionError::not_found());
    auto fresh = read_existing(dir, at, key_);
    if (!fresh) return fail(std::move(fresh.error()));
    const core::Sensitivity before = fresh->meta.sensitivity;
    if (auto same = still_as_approved(*fresh, edits, approved); !same) return fail(std::move(same.error()));

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
