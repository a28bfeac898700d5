#pragma once

// Each group adds its subcommands to the app; a subcommand's callback leaves
// its exit code in `status`.

#include <CLI/CLI.hpp>

#include "cli/vault_access.hpp"

namespace tarnel::cli {

void add_init_command(CLI::App& app, const GlobalOptions& options, int& status);
void add_secret_commands(CLI::App& app, const GlobalOptions& options, int& status);
void add_allowlist_commands(CLI::App& app, const GlobalOptions& options, int& status);
void add_audit_command(CLI::App& app, const GlobalOptions& options, int& status);
void add_request_commands(CLI::App& app, const GlobalOptions& options, int& status);
void add_run_command(CLI::App& app, const GlobalOptions& options, int& status);
void add_kind_commands(CLI::App& app, const GlobalOptions& options, int& status);
void add_unlock_commands(CLI::App& app, const GlobalOptions& options, int& status);
void add_import_command(CLI::App& app, const GlobalOptions& options, int& status);
void add_passwd_command(CLI::App& app, const GlobalOptions& options, int& status);
void add_check_command(CLI::App& app, const GlobalOptions& options, int& status);
// Added last: its script shows every command added before it.
void add_completion_command(CLI::App& app, int& status);

}  // namespace tarnel::cli
