// run: the owner's own program with the variables of an .env.refs file in its
// environment, on this terminal.

#include <fcntl.h>
#include <fmt/format.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "core/base/fd.hpp"
#include "core/store/fs.hpp"
#include "core/base/os_error.hpp"
#include "core/base/overloaded.hpp"

namespace tarnel::cli {

namespace {

// As shells report a program they could not run.
constexpr int kExitNotExecutable = 126;
constexpr int kExitProgramMissing = 127;
constexpr int kExitSignalBase = 128;

struct RunArgs {
    std::string refs_file;
    std::string env;
    std::optional<std::string> project;
    std::vector<std::string> command;  // the program, then its arguments
};

std::optional<std::string> read_refs(const std::string& path, std::string& error) {
    const core::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    const int failed = fd ? core::read_whole(fd.get(), bytes, 0, size) : errno;
    if (failed != 0) {
        error = fmt::format("cannot read {}: {}", path, core::os_error_text(failed));
        return std::nullopt;
    }
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

int exit_code_of(const session::RunEnding& ending) {
    return std::visit(
        core::Overloaded{
            [](const session::ending::Exited& exited) { return static_cast<int>(exited.code); },
            [](const session::ending::Signalled& signalled) { return kExitSignalBase + signalled.signal; },
            [](const session::ending::NotStarted& not_started) {
                print_error(not_started.text);
                return not_started.missing ? kExitProgramMissing : kExitNotExecutable;
            },
        },
        ending);
}

int run_injected(const GlobalOptions& options, const RunArgs& args) {
    std::string error;
    const auto refs = read_refs(args.refs_file, error);
    if (!refs) {
        print_error(error);
        return kExitError;
    }
    auto session = open_human_session(options);
    if (!session) return report(session.error());
    const std::vector<std::string> program_args(args.command.begin() + 1, args.command.end());
    // The child writes to the same streams; nothing of ours may come after.
    std::fflush(nullptr);
    auto ending = session->inject_passthrough(*refs, args.env, args.command.front(), program_args,
                                              args.project ? session::OptText(*args.project) : std::nullopt);
    if (!ending) return report(ending.error());
    return exit_code_of(*ending);
}

}  // namespace

void add_run_command(CLI::App& app, const GlobalOptions& options, int& status) {
    auto args = std::make_shared<RunArgs>();
    auto* run = app.add_subcommand("run", "Run a program with the values of an .env.refs file in its environment");
    run->add_option("--refs", args->refs_file, "The .env.refs file naming each variable's source")
        ->required()
        ->type_name("FILE");
    run->add_option("--env", args->env, "The environment that replaces ${ENV} in coordinates")->type_name("ENV");
    run->add_option("--project", args->project, "The project vault searched first (wins over the file's)")
        ->type_name("P");
    run->add_option("PROGRAM", args->command, "The program and its arguments, after --")->required();
    run->footer(
        "Put the program after --, so its own options stay its own:\n"
        "  tarnel run [--env ENV] [--project P] --refs FILE -- PROGRAM ARGS...\n\n"
        "The program uses this terminal and these standard streams directly: nothing is captured or masked.\n"
        "Ctrl-C reaches it once; TERM, HUP, QUIT and INT sent to tarnel are passed on to it.\n"
        "High values, and any in the environment prod, need the program on the allowlist (tarnel allow);\n"
        "high values also your confirmation on this terminal. TARNEL_* variables never reach the program.\n\n"
        "Exit status: the program's own; 128+n when signal n ended it; 127 when the program was not\n"
        "found, 126 when it could not be started; when nothing ran, tarnel's own (see tarnel --help).");
    run->callback([&options, &status, args] { status = run_injected(options, *args); });
}

}  // namespace tarnel::cli
