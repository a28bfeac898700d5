#include "cli/vault_access.hpp"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "cli/exit_codes.hpp"
#include "cli/prompt.hpp"
#include "cli/terminal_confirmer.hpp"
#include "core/model/scope.hpp"
#include "session/principal.hpp"

namespace tarnel::cli {

namespace {

core::AgentScope owner_scope() {
    using core::Operation;
    return core::AgentScope{
        .projects = core::ScopeFilter::any(),
        .environments = core::ScopeFilter::any(),
        .operations = {Operation::Metadata, Operation::Inject, Operation::Reveal, Operation::Write},
    };
}

bool has_salt(const std::filesystem::path& root) {
    struct stat info{};
    return ::lstat((root / "kdf.salt").c_str(), &info) == 0;
}

}  // namespace

session::SessionResult<std::filesystem::path> vault_root(const GlobalOptions& options) {
    std::optional<std::filesystem::path> given;
    if (options.vault_dir) given = std::filesystem::path(*options.vault_dir);
    return session::choose_root(std::move(given));
}

bool attended() { return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1; }

namespace {

// $TARNEL_PASSPHRASE, else one asked on the terminal for a root that has a
// salt (a keyring vault has nothing to ask a passphrase for).
session::SessionResult<session::VaultOptions> owner_vault_options(const GlobalOptions& options) {
    auto root = vault_root(options);
    if (!root) return std::unexpected(std::move(root.error()));
    auto passphrase = session::choose_passphrase(std::nullopt);
    if (!passphrase && has_salt(*root)) {
        PromptFailure failure;
        passphrase = ask_secret("Vault passphrase: ", failure);
        if (!passphrase && !failure.no_terminal) return session::fail(session::SessionError::other(failure.text));
    }
    return session::VaultOptions{std::move(*root), std::move(passphrase)};
}

}  // namespace

session::SessionResult<session::Session> open_human_session(const GlobalOptions& options) {
    auto vault = owner_vault_options(options);
    if (!vault) return std::unexpected(std::move(vault.error()));
    session::SessionHooks hooks;
    hooks.confirmer = std::make_shared<TerminalConfirmer>();
    return session::Session::open_checked(std::move(*vault), session::Principal::human(owner_scope(), attended()),
                                          std::move(hooks));
}

session::SessionResult<session::OpenedVault> open_owner_vault(const GlobalOptions& options) {
    auto vault = owner_vault_options(options);
    if (!vault) return std::unexpected(std::move(vault.error()));
    return session::open_vault_checked(std::move(*vault));
}

// A standard error that cannot be written (a full disk, a closed terminal)
// loses the line, never the exit code.
void print_error(std::string_view text) {
    const std::string line = fmt::format("tarnel: {}\n", text);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

int report(const session::SessionError& error, std::string_view coordinate) {
    const auto& kind = error.kind();
    if (std::holds_alternative<session::SessionError::NotFound>(kind)) {
        print_error(coordinate.empty() ? std::string("not found") : fmt::format("`{}` not found", coordinate));
        return kExitNotFound;
    }
    print_error(error.message());
    return std::holds_alternative<session::SessionError::Denied>(kind) ? kExitDenied : kExitError;
}

}  // namespace tarnel::cli
