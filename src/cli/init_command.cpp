// tarnel init: the root layout and the key's source.

#include <fmt/format.h>

#include <utility>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/prompt.hpp"
#include "core/keys/os_keyring.hpp"
#include "session/vault_config.hpp"
#include "session/vault_init.hpp"

namespace tarnel::cli {

namespace {

// $TARNEL_PASSPHRASE, else typed twice on the terminal.
std::optional<core::SecretValue> new_passphrase(std::string& error) {
    if (auto given = session::choose_passphrase(std::nullopt)) {
        if (!given->empty()) return given;
        error = "the passphrase must not be empty";
        return std::nullopt;
    }
    return ask_new_passphrase(error);
}

int run_init(const GlobalOptions& options, bool keyring_mode) {
    auto root = vault_root(options);
    if (!root) return report(root.error());

    if (keyring_mode) {
        core::OsKeyring keyring;
        if (auto made = session::init_with_keyring(*root, keyring); !made) return report(made.error());
        fmt::print("initialised {} (key in the system keyring)\n", root->string());
        return kExitOk;
    }
    std::string error;
    auto passphrase = new_passphrase(error);
    if (!passphrase) {
        print_error(error);
        return kExitError;
    }
    if (auto made = session::init_with_passphrase(*root, std::move(*passphrase)); !made) return report(made.error());
    fmt::print("initialised {}\n", root->string());
    return kExitOk;
}

}  // namespace

void add_init_command(CLI::App& app, const GlobalOptions& options, int& status) {
    auto* init = app.add_subcommand("init", "Create the vault: its folders and the source of its key");
    auto keyring_mode = std::make_shared<bool>(false);
    init->add_flag("--keyring", *keyring_mode,
                   "Keep a random key in the system keyring instead of deriving it from a passphrase");
    init->footer(
        "The passphrase comes from TARNEL_PASSPHRASE, else it is asked twice on the terminal.\n"
        "An existing salt or keyring key is never replaced.");
    init->callback([&options, &status, keyring_mode] { status = run_init(options, *keyring_mode); });
}

}  // namespace tarnel::cli
