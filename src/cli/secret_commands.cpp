// Secrets: set, ls, get and rm, each one session operation.

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/value_input.hpp"
#include "core/codec/json_writer.hpp"
#include "session/arguments.hpp"

namespace tarnel::cli {

namespace {

struct SecretArgs {
    std::string coordinate;
    std::optional<std::string> project;
    std::optional<std::string> sensitivity;
    std::optional<std::string> description;
    bool revealable = false;
    bool json = false;
};

session::OptText text_of(const std::optional<std::string>& text) {
    return text ? session::OptText(*text) : std::nullopt;
}

int run_set(const GlobalOptions& options, const SecretArgs& args) {
    auto session = open_human_session(options);
    if (!session) return report(session.error());
    std::string error;
    auto value = read_value(fmt::format("Value for {}: ", args.coordinate), session::kMaxValueBytes, error);
    if (!value) {
        print_error(error);
        return kExitError;
    }
    const session::LiteralMetadata metadata{
        .sensitivity = text_of(args.sensitivity),
        .description = text_of(args.description),
        .revealable = args.revealable ? std::optional<bool>(true) : std::nullopt,
    };
    auto view = session->set_with_metadata(args.coordinate, std::move(*value), metadata, text_of(args.project));
    if (!view) return report(view.error(), args.coordinate);
    fmt::print("set {} ({}, {})\n", view->coordinate, view->sensitivity, view->fingerprint);
    return kExitOk;
}

bool shown_for(const session::RecordView& view, const std::optional<std::string>& project) {
    return !project || view.origin == "global" || view.origin == "project:" + *project;
}

std::string views_json(const std::vector<session::RecordView>& views) {
    rapidjson::StringBuffer buffer;
    core::json::Writer writer(buffer);
    writer.StartArray();
    for (const auto& view : views) {
        writer.StartObject();
        core::json::member(writer, "coordinate", view.coordinate);
        core::json::member(writer, "environment", view.environment);
        core::json::member(writer, "component", view.component);
        core::json::member(writer, "key", view.key);
        core::json::member(writer, "sensitivity", view.sensitivity);
        core::json::member(writer, "mode", view.mode);
        core::json::member(writer, "fingerprint", view.fingerprint);
        core::json::member(writer, "origin", view.origin);
        core::json::member_or_null(writer, "reference", view.reference);
        core::json::key(writer, "revealable");
        writer.Bool(view.revealable);
        writer.EndObject();
    }
    writer.EndArray();
    return core::json::text_of(buffer);
}

void print_table(const std::vector<session::RecordView>& views) {
    const std::array<std::string, 5> heading{"COORDINATE", "SENSITIVITY", "MODE", "FINGERPRINT", "ORIGIN"};
    auto cells = [](const session::RecordView& view) {
        return std::array<std::string, 5>{view.coordinate, view.sensitivity, view.mode, view.fingerprint, view.origin};
    };
    std::array<std::size_t, 5> width{};
    for (std::size_t i = 0; i < width.size(); ++i) width[i] = heading[i].size();
    for (const auto& view : views) {
        const auto row = cells(view);
        for (std::size_t i = 0; i < width.size(); ++i) width[i] = std::max(width[i], row[i].size());
    }
    auto print_row = [&](const std::array<std::string, 5>& row) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size() ? fmt::format("{:<{}}  ", row[i], width[i]) : row[i];
        }
        fmt::print("{}\n", line);
    };
    print_row(heading);
    for (const auto& view : views) print_row(cells(view));
}

int run_ls(const GlobalOptions& options, const SecretArgs& args) {
    auto session = open_human_session(options);
    if (!session) return report(session.error());
    auto views = session->list_visible();
    if (!views) return report(views.error());
    std::erase_if(*views, [&](const session::RecordView& view) { return !shown_for(view, args.project); });
    if (args.json) {
        fmt::print("{}\n", views_json(*views));
    } else if (views->empty()) {
        fmt::print("no secrets\n");
    } else {
        print_table(*views);
    }
    return kExitOk;
}

int run_get(const GlobalOptions& options, const SecretArgs& args) {
    auto session = open_human_session(options);
    if (!session) return report(session.error());
    auto value = session->reveal(args.coordinate, text_of(args.project));
    if (!value) return report(value.error(), args.coordinate);
    const auto bytes = value->expose_secret();
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
        print_error("writing the value to standard output failed");
        return kExitError;
    }
    // Raw for pipes; a terminal gets its prompt back on a line of its own.
    if (::isatty(STDOUT_FILENO) == 1) std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0) {
        print_error("writing the value to standard output failed");
        return kExitError;
    }
    return kExitOk;
}

int run_rm(const GlobalOptions& options, const SecretArgs& args) {
    auto session = open_human_session(options);
    if (!session) return report(session.error());
    if (auto removed = session->remove(args.coordinate, text_of(args.project)); !removed) {
        return report(removed.error(), args.coordinate);
    }
    fmt::print("removed {}\n", args.coordinate);
    return kExitOk;
}

CLI::Option* add_coordinate(CLI::App& command, SecretArgs& args) {
    return command.add_option("COORD", args.coordinate, "The secret, e.g. secret:dev/app/token")->required();
}

void add_project(CLI::App& command, SecretArgs& args) {
    command.add_option("--project", args.project, "The project vault (default: the global vault)");
}

}  // namespace

void add_secret_commands(CLI::App& app, const GlobalOptions& options, int& status) {
    // One set of arguments per command, alive as long as the app.
    auto set_args = std::make_shared<SecretArgs>();
    auto* set = app.add_subcommand("set", "Store a literal value (read from standard input, or asked without echo)");
    add_coordinate(*set, *set_args);
    add_project(*set, *set_args);
    set->add_option("--sensitivity", set_args->sensitivity, "low, medium, high or inject-only");
    set->add_flag("--revealable", set_args->revealable, "Let an agent reveal it (low and medium, outside prod)");
    set->add_option("--description", set_args->description, "What the secret is for");
    set->footer("The value never comes from an argument. From a pipe, one trailing line end is dropped.");
    set->callback([&options, &status, set_args] { status = run_set(options, *set_args); });

    auto ls_args = std::make_shared<SecretArgs>();
    auto* ls = app.add_subcommand("ls", "List the secrets (metadata and fingerprints, never values)");
    ls->add_option("--project", ls_args->project, "Only the global vault and this project's");
    ls->add_flag("--json", ls_args->json, "A JSON list instead of a table");
    ls->callback([&options, &status, ls_args] { status = run_ls(options, *ls_args); });

    auto get_args = std::make_shared<SecretArgs>();
    auto* get = app.add_subcommand("get", "Print a value to standard output");
    add_coordinate(*get, *get_args);
    add_project(*get, *get_args);
    get->footer("High and prod values need your confirmation on this terminal; without one they are refused.");
    get->callback([&options, &status, get_args] { status = run_get(options, *get_args); });

    auto rm_args = std::make_shared<SecretArgs>();
    auto* rm = app.add_subcommand("rm", "Delete a secret");
    add_coordinate(*rm, *rm_args);
    add_project(*rm, *rm_args);
    rm->callback([&options, &status, rm_args] { status = run_rm(options, *rm_args); });
}

}  // namespace tarnel::cli
