#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/audit.hpp"
#include "core/clock.hpp"
#include "core/confirm.hpp"
#include "core/coordinate.hpp"
#include "core/master_key.hpp"
#include "core/record.hpp"
#include "core/registry.hpp"
#include "core/scope.hpp"
#include "core/secret.hpp"
#include "core/sensitivity.hpp"
#include "ffi/ffi_error.hpp"
#include "ffi/record_view.hpp"

namespace tarnel::ffi {

using OptText = std::optional<std::string_view>;

// A concrete coordinate, or the parser's text as an Other error.
FfiResult<core::Coordinate> parse_concrete(std::string_view text);
// Case-insensitive, "_" read as "-", "injectonly" accepted.
FfiResult<core::Sensitivity> parse_sensitivity(std::string_view text);
// The environment name of a concrete coordinate.
std::string env_of(const core::Coordinate& coordinate);
std::optional<std::string> origin_for(OptText project);

// One agent session: a fixed scope bound to one opened vault. Nothing in it
// changes after construction; every operation takes it read-only.
class Session {
public:
    // How long a human has to answer a sensitivity downgrade.
    static constexpr std::chrono::seconds kDowngradeTimeout{120};

    // Root: vault_dir, else $TARNEL_VAULT_DIR, else $HOME/.vaults. Key: from
    // the passphrase (argument, else $TARNEL_PASSPHRASE) and "kdf.salt", else
    // from the platform keyring.
    static FfiResult<Session> open(std::optional<std::filesystem::path> vault_dir,
                                   core::AgentScope scope,
                                   std::optional<core::SecretValue> passphrase);

    const core::AgentScope& scope() const noexcept { return scope_; }
    const std::filesystem::path& root() const noexcept { return root_; }
    const core::Registry& registry() const noexcept { return registry_; }

    // Metadata queries; none of them is audited.
    FfiResult<std::vector<RecordView>> list_visible() const;
    FfiResult<RecordView> status_of(std::string_view coordinate, OptText project) const;
    FfiResult<std::string> fingerprint_of(std::string_view coordinate, OptText project) const;

    FfiResult<core::SecretValue> reveal(std::string_view coordinate, OptText project) const;

    // Writes.
    FfiResult<RecordView> set(std::string_view coordinate, core::SecretValue value,
                              OptText project) const;
    FfiResult<RecordView> generate(std::string_view coordinate, std::uint64_t length,
                                   OptText sensitivity, OptText description,
                                   OptText project) const;
    FfiResult<void> remove(std::string_view coordinate, OptText project) const;

    // Metadata edits; a downgrade of a high or inject-only secret asks a human
    // through the pending directory and waits up to kDowngradeTimeout.
    FfiResult<RecordView> edit_metadata(std::string_view coordinate, OptText sensitivity,
                                        OptText description, std::optional<bool> revealable,
                                        OptText reference, OptText project) const;
    // The same with the confirmer and time-out given, for tests.
    FfiResult<RecordView> edit_metadata_with(const core::Confirmer& confirmer,
                                             std::chrono::milliseconds timeout,
                                             std::string_view coordinate, OptText sensitivity,
                                             OptText description, std::optional<bool> revealable,
                                             OptText reference, OptText project) const;

    // Files an intake request for a human and returns its identifier.
    FfiResult<std::string> request_intake(std::string_view coordinate, OptText sensitivity,
                                          OptText description, OptText project,
                                          OptText requesting_process) const;

    // Appends one agent event to the audit log; a failure to record is ignored.
    void audit(core::AuditAction action, std::string_view result, std::string_view coordinate,
               std::string_view environment) const;

private:
    Session(core::AgentScope scope, std::filesystem::path root, core::Registry registry,
            core::MasterKey key)
        : scope_(std::move(scope)),
          root_(std::move(root)),
          registry_(std::move(registry)),
          key_(std::move(key)) {}

    // The vault a write or edit targets: the project's, else the global one.
    FfiResult<std::filesystem::path> target_dir(OptText project) const;

    // What every change starts from: the coordinate once it has passed the
    // write gate, the vault it goes to, and its canonical path for audit
    // events and confirmation requests.
    struct WriteTarget {
        core::Coordinate at;
        std::filesystem::path dir;
        std::string path;
    };
    FfiResult<WriteTarget> write_target(std::string_view coordinate, OptText project) const;

    core::AgentScope scope_;
    std::filesystem::path root_;
    core::Registry registry_;
    core::MasterKey key_;
    core::SystemClock clock_;
};

}  // namespace tarnel::ffi
