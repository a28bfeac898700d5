// import: the variables of a dotenv file as literals, all or none, and
// optionally the .env.refs text that runs a program with the same names.

#include <fmt/format.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/value_input.hpp"
#include "core/run/dotenv.hpp"
#include "core/store/atomic_write.hpp"
#include "core/store/fs.hpp"

namespace tarnel::cli {

namespace {

// Ample for a project's variables; each value is held to the session's limit.
constexpr std::size_t kMaxDotenvBytes = 8 * 1024 * 1024;

struct ImportArgs {
    std::string file;
    std::string environment;
    std::optional<std::string> component;
    std::optional<std::string> project;
    std::optional<std::string> sensitivity;
    std::optional<std::string> refs_out;
    bool replace = false;
};

std::string refs_text(const ImportArgs& args, std::string_view component,
                      const std::vector<session::Imported>& imported) {
    std::string text = args.project ? fmt::format("project = {}\n", *args.project) : std::string();
    for (const auto& record : imported) {
        text += fmt::format("{} = secret:${{ENV}}/{}/{}\n", record.view.key, component, record.view.key);
    }
    return text;
}

int run_import(const GlobalOptions& options, const ImportArgs& args) {
    // Refused before anything is imported, so a refusal leaves nothing half done.
    if (struct stat info{}; args.refs_out && ::lstat(args.refs_out->c_str(), &info) == 0) {
        print_error(fmt::format("{} already exists; refusing to replace it", core::quoted_path(*args.refs_out)));
        return kExitError;
    }
    std::string error;
    auto text = read_secret_file(args.file, kMaxDotenvBytes, error);
    if (!text) {
        print_error(error);
        return kExitError;
    }
    auto entries = core::parse_dotenv(text->expose_secret_chars());
    if (!entries) {
        print_error(fmt::format("{}: {}", core::quoted_path(args.file), entries.error().detail()));
        return kExitError;
    }
    auto session = open_human_session(options);
    if (!session) return report(session.error());

    const std::string component = args.component.value_or(args.project.value_or("app"));
    const session::ImportPlan plan{
        .environment = args.environment,
        .component = component,
        .project = args.project ? session::OptText(*args.project) : std::nullopt,
        .sensitivity = args.sensitivity ? session::OptText(*args.sensitivity) : std::nullopt,
        .replace = args.replace,
    };
    auto imported = session->import_literals(std::move(*entries), plan);
    if (!imported) return report(imported.error());
    for (const auto& record : *imported) {
        fmt::print("{} {} ({}, {})\n", record.replaced ? "replaced" : "created", record.view.coordinate,
                   record.view.sensitivity, record.view.fingerprint);
    }
    if (args.refs_out) {
        auto written = core::publish_new(*args.refs_out, refs_text(args, component, *imported), "refs file");
        if (!written || !*written) {
            print_error(written ? fmt::format("{} appeared meanwhile; not replaced", core::quoted_path(*args.refs_out))
                                : written.error().display());
            return kExitError;
        }
        fmt::print("wrote {}\n", *args.refs_out);
    }
    return kExitOk;
}

}  // namespace

void add_import_command(CLI::App& app, const GlobalOptions& options, int& status) {
    auto args = std::make_shared<ImportArgs>();
    auto* command = app.add_subcommand("import", "Store each variable of a dotenv file as a secret, all or none");
    command->add_option("FILE", args->file, "The dotenv file (KEY=value lines)")->required();
    command->add_option("--env", args->environment, "The environment of the new secrets")->required();
    command->add_option("--component", args->component, "The component (default: the project, else app)");
    command->add_option("--project", args->project, "The project vault (default: the global vault)");
    command->add_option("--sensitivity", args->sensitivity, "low, medium, high or inject-only");
    command->add_option("--refs-out", args->refs_out, "Also write the matching .env.refs text to this new file")
        ->type_name("FILE");
    command->add_flag("--replace", args->replace, "Replace existing secrets (a lowering still asks you)");
    command->footer("Each KEY becomes secret:ENV/COMPONENT/KEY. Nothing is written when any line or target fails.");
    command->callback([&options, &status, args] { status = run_import(options, *args); });
}

}  // namespace tarnel::cli
