// check: every file of the vault root looked over with the key, nothing
// changed; one line per problem found.

#include <fmt/format.h>

#include <memory>
#include <string>
#include <string_view>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/terminal_text.hpp"
#include "core/codec/json_writer.hpp"
#include "core/oversight/clock.hpp"
#include "session/vault_check.hpp"

namespace tarnel::cli {

namespace {

std::string counted(std::size_t n, std::string_view one, std::string_view many) {
    return fmt::format("{} {}", n, n == 1 ? one : many);
}

// `complete` is false when the check stopped before opening the vault.
std::string report_json(const session::CheckReport& report, bool complete) {
    rapidjson::StringBuffer buffer;
    core::json::Writer writer(buffer);
    writer.StartObject();
    core::json::key(writer, "complete");
    writer.Bool(complete);
    core::json::key(writer, "records");
    writer.Uint64(report.records);
    core::json::key(writer, "vaults");
    writer.Uint64(report.vaults);
    core::json::key(writer, "problems");
    writer.StartArray();
    for (const session::CheckFinding& finding : report.findings) {
        writer.StartObject();
        core::json::member(writer, "path", finding.path);
        core::json::member(writer, "problem", session::problem_word(finding.problem));
        core::json::member(writer, "detail", finding.detail);
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return core::json::text_of(buffer);
}

void print_report(const session::CheckReport& report, bool complete) {
    for (const session::CheckFinding& finding : report.findings) {
        fmt::print("{}: {}: {}\n", terminal_safe(finding.path), session::problem_word(finding.problem),
                   terminal_safe(finding.detail));
    }
    if (!complete) {
        fmt::print(
            "not checked further: any command that opens the vault (tarnel ls) settles the change; then check again\n");
        return;
    }
    fmt::print("checked {} in {}: {}\n", counted(report.records, "record", "records"),
               counted(report.vaults, "vault", "vaults"),
               report.findings.empty() ? "no problems" : counted(report.findings.size(), "problem", "problems"));
}

int run_check(const GlobalOptions& options, bool json) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    session::CheckReport checked{.findings = session::unfinished_passphrase_change(*root)};
    const bool complete = checked.findings.empty();
    if (complete) {
        auto vault = open_owner_vault(options);
        if (!vault) return report(vault.error());
        checked = session::check_vault(vault->root, vault->key, core::SystemClock());
    }
    if (json) {
        fmt::print("{}\n", report_json(checked, complete));
    } else {
        print_report(checked, complete);
    }
    return checked.findings.empty() ? kExitOk : kExitError;
}

}  // namespace

void add_check_command(CLI::App& app, const GlobalOptions& options, int& status) {
    auto json = std::make_shared<bool>(false);
    auto* check = app.add_subcommand(
        "check", "Open every record with the key and report damaged, planted, misplaced and left-over files");
    check->add_flag("--json", *json, "One JSON object: the counts and each problem");
    check->footer("Changes nothing. Exits 0 when the vault is clean, 1 when anything was found.");
    check->callback([&options, &status, json] { status = run_check(options, *json); });
}

}  // namespace tarnel::cli
