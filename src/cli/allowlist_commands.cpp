// allow, disallow and allowlist: the run profiles trusted with high and
// production values, kept sealed in the vault root's "allowlist" file.

#include <fmt/format.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/owner_key.hpp"
#include "cli/terminal_text.hpp"
#include "core/oversight/clock.hpp"
#include "session/allowlist_edits.hpp"
#include "wrapper/allowlist.hpp"

namespace tarnel::cli {

namespace {

struct AllowArgs {
    std::string program;
    std::vector<std::string> variables;
    std::vector<std::string> arguments;  // after "--"; a last "*" allows more
};

const core::SystemClock& wall_clock() {
    static const core::SystemClock clock;
    return clock;
}

void warn_if_it_runs_commands(const wrapper::AllowEntry& entry) {
    if (!wrapper::runs_commands(entry.program)) return;
    print_error(fmt::format(
        "warning: {} runs commands taken from its arguments, environment or files it reads; a run that may choose "
        "those can print the values it is given. Allow exact arguments (-- ARG...) and as few --env names as you can",
        terminal_safe(entry.program.string())));
}

void print_entries(const std::vector<wrapper::AllowEntry>& entries) {
    for (const wrapper::AllowEntry& entry : entries) fmt::print("{}\n", terminal_safe(entry.shown()));
}

int run_allow(const GlobalOptions& options, AllowArgs args) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    const bool more = args.arguments.empty() || args.arguments.back() == "*";
    if (!args.arguments.empty() && args.arguments.back() == "*") args.arguments.pop_back();
    auto entry = session::allow_entry_for(args.program, std::move(args.arguments), more, std::move(args.variables));
    if (!entry) return report(entry.error());
    warn_if_it_runs_commands(*entry);
    auto key = owner_key(*root, "nothing allowed");
    if (!key) return report(key.error());
    const std::string shown = terminal_safe(entry->shown());
    auto added = session::allow_program(*root, *key, std::move(*entry), wall_clock());
    if (!added) return report(added.error());
    fmt::print("{} {}\n", *added ? "allowed" : "already allowed:", shown);
    return kExitOk;
}

int run_disallow(const GlobalOptions& options, const std::string& program) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    auto key = owner_key(*root, "nothing disallowed");
    if (!key) return report(key.error());
    auto removed = session::disallow_program(*root, *key, program, wall_clock());
    if (!removed) return report(removed.error());
    if (*removed == 0) {
        print_error(fmt::format("not in the allowlist: {}", terminal_safe(program)));
        return kExitNotFound;
    }
    fmt::print("disallowed {}\n", terminal_safe(wrapper::canonical_or_owned(program).string()));
    return kExitOk;
}

int run_show(const GlobalOptions& options) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    auto contents = wrapper::read_allowlist(*root);
    if (!contents) return report(contents.error());
    print_entries(contents->entries);
    if (contents->form == wrapper::AllowlistContents::Form::Earlier) {
        print_error(
            "the allowlist is in the earlier one-path-a-line form and allows nothing until you seal it: "
            "tarnel allowlist --seal");
    }
    return kExitOk;
}

// Shows what the file holds, then seals exactly that once the owner's key is
// in hand; a file the key already sealed is left as it is.
int run_seal(const GlobalOptions& options) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    auto contents = session::allowlist_to_seal(*root);
    if (!contents) return report(contents.error());
    if (contents->form == wrapper::AllowlistContents::Form::Absent) {
        print_error("there is no allowlist to seal; tarnel allow adds an entry");
        return kExitNotFound;
    }
    fmt::print("The allowlist holds {} entr{}; sealing trusts each with high and production values:\n",
               contents->entries.size(), contents->entries.size() == 1 ? "y" : "ies");
    print_entries(contents->entries);
    std::fflush(stdout);
    for (const wrapper::AllowEntry& entry : contents->entries) warn_if_it_runs_commands(entry);
    auto key = owner_key(*root, "nothing sealed");
    if (!key) return report(key.error());
    if (wrapper::sealed_by(*contents, *key)) {
        fmt::print("already sealed\n");
        return kExitOk;
    }
    if (auto sealed = session::seal_allowlist(*root, *key, *contents, wall_clock()); !sealed) {
        return report(sealed.error());
    }
    fmt::print("sealed {} entr{}\n", contents->entries.size(), contents->entries.size() == 1 ? "y" : "ies");
    return kExitOk;
}

}  // namespace

void add_allowlist_commands(CLI::App& app, const GlobalOptions& options, int& status) {
    auto allow_args = std::make_shared<AllowArgs>();
    auto* allow = app.add_subcommand(
        "allow", "Trust a program with high and production values when it runs with secrets (needs the passphrase)");
    allow->add_option("PROGRAM", allow_args->program, "The executable; stored as its canonical path")->required();
    allow
        ->add_option("--env", allow_args->variables,
                     "A variable name a run may set itself (a literal or ${env:} line); repeatable")
        ->type_name("NAME")
        ->allow_extra_args(false);
    allow->add_option("ARG", allow_args->arguments,
                      "After --: the exact arguments; a last '*' allows any that follow. None: any arguments");
    allow->callback([&options, &status, allow_args] { status = run_allow(options, std::move(*allow_args)); });

    auto disallow_program = std::make_shared<std::string>();
    auto* disallow =
        app.add_subcommand("disallow", "Remove every entry of a program from the allowlist (needs the passphrase)");
    disallow->add_option("PROGRAM", *disallow_program, "The executable, as listed or by any path to it")->required();
    disallow->callback([&options, &status, disallow_program] { status = run_disallow(options, *disallow_program); });

    auto seal = std::make_shared<bool>(false);
    auto* show =
        app.add_subcommand("allowlist", "Print the allowlist's entries, one a line, as tarnel allow takes them");
    show->add_flag("--seal", *seal, "Show the entries, then seal them with the vault key (needs the passphrase)");
    show->callback([&options, &status, seal] { status = *seal ? run_seal(options) : run_show(options); });
}

}  // namespace tarnel::cli
