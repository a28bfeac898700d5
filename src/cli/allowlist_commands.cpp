// allow, disallow and allowlist: the executors trusted with high and
// production values, kept in the vault root's "allowlist" file.

#include <fmt/format.h>

#include <memory>
#include <string>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "wrapper/allowlist.hpp"

namespace tarnel::cli {

namespace {

enum class Edit { Allow, Disallow };

int run_edit(const GlobalOptions& options, Edit edit, const std::string& program) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    auto file = wrapper::AllowlistFile::load(*root);
    if (!file) return report(file.error());

    if (edit == Edit::Allow) {
        auto added = file->add(program);
        if (!added) return report(added.error());
        if (!*added) {
            fmt::print("already allowed: {}\n", wrapper::canonical_or_owned(program).string());
            return kExitOk;
        }
    } else if (!file->remove(program)) {
        print_error(fmt::format("not in the allowlist: {}", program));
        return kExitNotFound;
    }
    if (auto saved = file->save(); !saved) return report(saved.error());
    fmt::print("{} {}\n", edit == Edit::Allow ? "allowed" : "disallowed",
               edit == Edit::Allow ? wrapper::canonical_or_owned(program).string() : program);
    return kExitOk;
}

int run_show(const GlobalOptions& options) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    auto file = wrapper::AllowlistFile::load(*root);
    if (!file) return report(file.error());
    for (const std::string& path : file->paths()) fmt::print("{}\n", path);
    return kExitOk;
}

}  // namespace

void add_allowlist_commands(CLI::App& app, const GlobalOptions& options, int& status) {
    auto allow_program = std::make_shared<std::string>();
    auto* allow = app.add_subcommand("allow", "Trust a program with high and production values when it runs with secrets");
    allow->add_option("PROGRAM", *allow_program, "The executable; stored as its canonical path")->required();
    allow->callback([&options, &status, allow_program] { status = run_edit(options, Edit::Allow, *allow_program); });

    auto disallow_program = std::make_shared<std::string>();
    auto* disallow = app.add_subcommand("disallow", "Remove a program from the allowlist");
    disallow->add_option("PROGRAM", *disallow_program, "The executable, as listed or by any path to it")->required();
    disallow->callback(
        [&options, &status, disallow_program] { status = run_edit(options, Edit::Disallow, *disallow_program); });

    auto* show = app.add_subcommand("allowlist", "Print the allowed programs, one path a line");
    show->callback([&options, &status] { status = run_show(options); });
}

}  // namespace tarnel::cli
