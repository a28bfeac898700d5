#pragma once

// What every command shares: the global options, the human's session, and
// turning failures into a line on standard error and an exit code.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "session/session.hpp"

namespace tarnel::cli {

struct GlobalOptions {
    std::optional<std::string> vault_dir;
};

// The root: --vault-dir, else $TARNEL_VAULT_DIR, else the default root.
session::SessionResult<std::filesystem::path> vault_root(const GlobalOptions& options);

// Attended when both standard input and standard output are terminals.
bool attended();

// The session of the vault's owner: every operation on every project and
// environment. The key comes from $TARNEL_PASSPHRASE, else from a passphrase
// asked once on the terminal (for a root that has a salt), else the keyring.
session::SessionResult<session::Session> open_human_session(const GlobalOptions& options);
// The same root and key, checked against "kdf.check" when they came from a
// passphrase, for the commands that work on the vault's files themselves.
session::SessionResult<session::OpenedVault> open_owner_vault(const GlobalOptions& options);

// Prints "tarnel: {text}" on standard error.
void print_error(std::string_view text);
// Prints the error and returns its exit code; `coordinate` names what was
// not found.
int report(const session::SessionError& error, std::string_view coordinate = {});

}  // namespace tarnel::cli
