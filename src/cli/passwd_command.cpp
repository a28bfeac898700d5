// passwd: a new passphrase for a passphrase vault, every sealed file sealed
// again under the new key.

#include <fmt/format.h>

#include <string>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/owner_key.hpp"
#include "cli/prompt.hpp"
#include "cli/server_control.hpp"
#include "core/oversight/clock.hpp"
#include "session/owner_proof.hpp"
#include "session/passphrase_change.hpp"

namespace tarnel::cli {

namespace {

constexpr std::string_view kUnchanged = "the passphrase is unchanged";

int run_passwd(const GlobalOptions& options) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    auto proof = session::owner_proof_for(*root);
    if (!proof) return report(proof.error());
    if (*proof == session::OwnerProof::ShownCode) {
        print_error("this vault's key is kept in the keyring: it has no passphrase to change");
        return kExitError;
    }
    // A server keeps the key it was given: after the change it could read
    // nothing new and write nothing at all, so it is locked first.
    if (const auto servers = server_processes(*root); !servers.empty()) {
        print_error(fmt::format("`{}` is unlocked (pid {}): lock it first with `tarnel lock --name {}`; {}",
                                servers.front().name, servers.front().pid, servers.front().name, kUnchanged));
        return kExitError;
    }
    auto key = owner_key(*root, kUnchanged);
    if (!key) return report(key.error());
    std::string error;
    auto passphrase = ask_new_passphrase(error);
    if (!passphrase) {
        print_error(fmt::format("{}; {}", error, kUnchanged));
        return kExitError;
    }
    const core::SystemClock clock;
    auto changed = session::change_passphrase(*root, *key, std::move(*passphrase), clock);
    if (!changed) return report(changed.error());
    fmt::print("passphrase changed: {} record files sealed again{}\n", changed->records,
               changed->allowlist ? ", and the allowlist" : "");
    return kExitOk;
}

}  // namespace

void add_passwd_command(CLI::App& app, const GlobalOptions& options, int& status) {
    auto* command = app.add_subcommand("passwd", "Change the vault passphrase (on a terminal)");
    command->footer(
        "Asks the current passphrase and the new one twice on the terminal, never from TARNEL_PASSPHRASE. "
        "Every record, kdf.check and the sealed allowlist are sealed again under the new key; an interruption "
        "leaves the vault under exactly one of the two. Lock unlocked servers first.");
    command->callback([&options, &status] { status = run_passwd(options); });
}

}  // namespace tarnel::cli
