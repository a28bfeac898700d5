#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/oversight/audit.hpp"
#include "core/oversight/clock.hpp"
#include "core/oversight/confirm.hpp"
#include "core/oversight/intake_inbox.hpp"
#include "core/model/coordinate.hpp"
#include "core/keys/master_key.hpp"
#include "core/model/policy.hpp"
#include "core/model/record.hpp"
#include "core/store/registry.hpp"
#include "core/model/secret.hpp"
#include "core/kinds/totp.hpp"
#include "core/run/dotenv.hpp"
#include "session/principal.hpp"
#include "session/record_view.hpp"
#include "session/session_error.hpp"
#include "session/vault_config.hpp"
#include "wrapper/runner.hpp"
#include "wrapper/wrapper.hpp"

namespace tarnel::session {

using OptText = std::optional<std::string_view>;

// How long a human has to answer a confirmation.
inline constexpr std::chrono::milliseconds kConfirmTimeout = std::chrono::seconds(120);

// What a child run hands back: its output with vault values masked, each
// stream for the caller to write out once where it keeps it, and its exit
// code (absent when a signal ended it).
struct InjectOutput {
    wrapper::MaskedText out;
    wrapper::MaskedText err;
    std::optional<std::int32_t> status;
};

// How a program run on the caller's own terminal ended. Not starting is one
// of the endings, as in a shell: the gates had passed and the values had been
// handed over; the program was not there to take them.
namespace ending {
struct Exited {
    std::int32_t code;
};
struct Signalled {
    int signal;
};
struct NotStarted {
    std::string text;
    bool missing = false;  // no such program, as opposed to one that cannot run
};
}  // namespace ending
using RunEnding = std::variant<ending::Exited, ending::Signalled, ending::NotStarted>;

// What a caller of set_with_metadata may give besides the value.
struct LiteralMetadata {
    OptText sensitivity;
    OptText description;
    std::optional<bool> revealable;

    bool empty() const noexcept { return !sensitivity && !description && !revealable; }
};

// Where an import puts the variables of a dotenv file: secret:ENV/COMPONENT/NAME.
struct ImportPlan {
    std::string_view environment;
    std::string_view component;
    OptText project = std::nullopt;
    OptText sensitivity = std::nullopt;
    // Existing records get the imported value (a lowering still asks); without
    // it an existing record stops the import.
    bool replace = false;
};

struct Imported {
    RecordView view;
    bool replaced = false;
};

// What a caller may give for a reference, keypair or TOTP record it makes.
// Those kinds are never revealed, so they have no revealable flag to set.
struct KindMetadata {
    OptText sensitivity = std::nullopt;
    OptText description = std::nullopt;

    bool empty() const noexcept { return !sensitivity && !description; }
};

// An otpauth URI carries an issuer and a label besides the seed; a few KiB is ample.
inline constexpr std::size_t kMaxEnrolmentBytes = 4096;

// A keypair just made: its metadata, and the public key line to hand out.
struct KeypairMade {
    RecordView view;
    std::string public_line;
};

// The parts of a session that tests replace; empty members get the real ones
// (the system clock, and a confirmer writing to the root's "pending" directory).
struct SessionHooks {
    std::shared_ptr<const core::Clock> clock;
    std::shared_ptr<const core::Confirmer> confirmer;
    std::chrono::milliseconds confirm_timeout = kConfirmTimeout;
};

// One opened vault serving one principal. Nothing in it changes after it is
// opened; every operation takes it read-only, asks the core's policy, and
// reports what it did to the audit log as the principal's actor.
class Session {
public:
    [[nodiscard]] static SessionResult<Session> open(VaultOptions vault, Principal principal, SessionHooks hooks = {});
    // open, and when the key came from a passphrase, the root's passphrase
    // check too, so a mistyped passphrase reads "wrong passphrase".
    [[nodiscard]] static SessionResult<Session> open_checked(VaultOptions vault, Principal principal,
                                                             SessionHooks hooks = {});
    // With a key the owner already unlocked, checked against the root's
    // passphrase check where it has one.
    [[nodiscard]] static SessionResult<Session> open_with_key(std::filesystem::path root, core::MasterKey key,
                                                              Principal principal, SessionHooks hooks = {});

    // Metadata queries; none of them is audited.
    [[nodiscard]] SessionResult<std::vector<RecordView>> list_visible() const;
    [[nodiscard]] SessionResult<RecordView> status_of(std::string_view coordinate, OptText project) const;
    [[nodiscard]] SessionResult<std::string> fingerprint_of(std::string_view coordinate, OptText project) const;

    [[nodiscard]] SessionResult<core::SecretValue> reveal(std::string_view coordinate, OptText project) const;

    // Writes.
    [[nodiscard]] SessionResult<RecordView> set(std::string_view coordinate, core::SecretValue value,
                                                OptText project) const;
    // set, with metadata for the record it creates; over an existing record
    // the value is replaced first and the metadata then edited as by
    // edit_metadata (a downgrade asks a human).
    [[nodiscard]] SessionResult<RecordView> set_with_metadata(std::string_view coordinate, core::SecretValue value,
                                                              const LiteralMetadata& metadata, OptText project) const;
    [[nodiscard]] SessionResult<RecordView> generate(std::string_view coordinate, std::uint64_t length,
                                                     OptText sensitivity, OptText description, OptText project) const;
    [[nodiscard]] SessionResult<void> remove(std::string_view coordinate, OptText project) const;

    // Creates one literal per variable, all or none: every name, value and
    // target is checked before anything is written, and a lowering of an
    // existing record's protection is asked before any value is written.
    [[nodiscard]] SessionResult<std::vector<Imported>> import_literals(std::vector<core::DotenvEntry> entries,
                                                                       const ImportPlan& plan) const;

    // Records of the other kinds, written like set: over a literal or a
    // reference the record takes the new kind and keeps its metadata (then
    // edited as by edit_metadata when some is given); a keypair or a TOTP
    // enrolment is never replaced.
    [[nodiscard]] SessionResult<RecordView> set_reference(std::string_view coordinate, std::string_view uri,
                                                          const KindMetadata& metadata, OptText project) const;
    // An ed25519 keypair generated here; the comment defaults to the canonical path.
    [[nodiscard]] SessionResult<KeypairMade> create_keypair(std::string_view coordinate, OptText comment,
                                                            const KindMetadata& metadata, OptText project) const;
    // `enrolment` is an otpauth://totp/ URI or a bare base32 seed.
    [[nodiscard]] SessionResult<RecordView> enrol_totp(std::string_view coordinate, const core::SecretValue& enrolment,
                                                       const core::TotpSettings& settings, const KindMetadata& metadata,
                                                       OptText project) const;
    // The current code of a TOTP enrolment. A code is a usable credential, so
    // deriving one is decided and audited like a reveal of the record.
    [[nodiscard]] SessionResult<core::SecretValue> totp_code(std::string_view coordinate, OptText project) const;

    // Metadata edits; lowering a high or inject-only secret asks a human.
    // Cancelling `cancel` during that wait withdraws the request and changes
    // nothing.
    [[nodiscard]] SessionResult<RecordView> edit_metadata(
        std::string_view coordinate, OptText sensitivity, OptText description, std::optional<bool> revealable,
        OptText reference, OptText project, const core::CancelToken& cancel = core::CancelToken::never()) const;

    // Files an intake request for a human and returns its identifier.
    [[nodiscard]] SessionResult<std::string> request_intake(std::string_view coordinate, OptText sensitivity,
                                                            OptText description, OptText project,
                                                            OptText requesting_process) const;

    // Creates the literal an intake request asks for, with the request's
    // sensitivity, description and project and the owner's value, then
    // removes the request. `shown` is the request as the owner saw it
    // (intake_to_answer): the file may have been rewritten since, so only its
    // presence is read again. An existing secret is never replaced.
    [[nodiscard]] SessionResult<RecordView> fulfil_intake(const core::PendingIntake& shown,
                                                          core::SecretValue value) const;

    // Runs a program with the variables of an .env.refs text in its
    // environment, behind the allowlist and a human's confirmation for
    // sensitive values. Blocks for the whole run; cancelling `cancel`
    // withdraws a waiting confirmation, or stops the program and its group.
    [[nodiscard]] SessionResult<InjectOutput> inject_run(
        std::string_view refs, std::string_view env, std::string_view program, const std::vector<std::string>& args,
        OptText project, OptText client_identity, const core::CancelToken& cancel = core::CancelToken::never()) const;
    // The same run in the foreground: the program shares the caller's
    // terminal and standard streams, its output is neither captured nor
    // masked, and the signals that ask to stop are relayed to it. For the
    // vault's owner running their own program.
    [[nodiscard]] SessionResult<RunEnding> inject_passthrough(std::string_view refs, std::string_view env,
                                                              std::string_view program,
                                                              const std::vector<std::string>& args,
                                                              OptText project) const;

    // Appends one event of the principal's actor to the audit log; a failure
    // to record is ignored.
    void audit(core::AuditAction action, std::string_view result, std::string_view coordinate,
               std::string_view environment) const;

private:
    Session(Principal principal, OpenedVault vault, SessionHooks hooks);

    // The policy's answer for this principal, for a record of the given level
    // and flag (metadata and writes look at the scope alone).
    core::PolicyDecision decide(core::Operation operation, const core::Coordinate& at, OptText project,
                                core::Sensitivity sensitivity = core::Sensitivity::Low, bool revealable = false) const;

    // What every change starts from: the coordinate once the policy allows
    // writing it, the vault it goes to, and its canonical path for audit events
    // and confirmation requests.
    struct WriteTarget {
        core::Coordinate at;
        std::filesystem::path dir;
        std::string path;
    };
    SessionResult<WriteTarget> write_target(std::string_view coordinate, OptText project) const;

    // A new literal with the metadata given; none, and `value` untouched,
    // when the record exists.
    SessionResult<std::optional<RecordView>> create_literal(const WriteTarget& target, core::SecretValue& value,
                                                            const LiteralMetadata& metadata, core::Sensitivity asked,
                                                            OptText project) const;

    // What both injections share: the scope checks, then the wrapper with the
    // given runner (which also says whether output is captured). The outer error is the session's refusal; the inner
    // result is the wrapper's, for each caller to map.
    SessionResult<wrapper::WrapperResult<wrapper::RunOutput>> run_wrapped(std::string_view refs, std::string_view env,
                                                                          std::string_view program,
                                                                          const std::vector<std::string>& args,
                                                                          OptText project, OptText client_identity,
                                                                          const wrapper::ProcessRunner& runner,
                                                                          const core::CancelToken& cancel) const;

    // Writes the record of another kind that `make` builds, under the rules of
    // set_reference; `command` names the writer in a refusal and `created` is
    // the audit result of a new record.
    // `make` is given the canonical path.
    using KindMaker = std::function<SessionResult<core::RecordKind>(std::string_view)>;
    SessionResult<RecordView> write_kind(std::string_view coordinate, const KindMetadata& metadata, OptText project,
                                         std::string_view command, std::string_view created,
                                         const KindMaker& make) const;

    // The reveal policy's answer for handing out something of this record:
    // a refusal is audited as a denial, a confirmation is asked of a human at
    // the surface (`what` names the request and its audit results) and
    // without one the caller gets `unattended` as its refusal.
    SessionResult<void> permit_reveal(const core::Coordinate& at, OptText project, const core::RecordMetadata& meta,
                                      const std::string& path, std::string_view what,
                                      std::string_view unattended) const;

    // Asks the session's confirmer and audits the answer with
    // "approved-{what}", "denied-{what}", "timeout-{what}" or "withdrawn-{what}".
    core::Decision confirm(const core::ConfirmRequest& request, std::string_view what) const;
    void audit_decision(const core::ConfirmRequest& request, core::Decision decision, std::string_view what) const;
    // One request for several things at once; each is audited with its own word.
    core::Decision confirm(const core::ConfirmRequest& request, const std::vector<std::string_view>& what,
                           const core::CancelToken& cancel = core::CancelToken::never()) const;

    Principal principal_;
    std::filesystem::path root_;
    core::Registry registry_;
    core::MasterKey key_;
    // The confirmer may hold on to the clock, so the clock is released last.
    std::shared_ptr<const core::Clock> clock_;
    std::shared_ptr<const core::Confirmer> confirmer_;
    std::chrono::milliseconds confirm_timeout_;
};

}  // namespace tarnel::session
