// The owner's answers to what agents ask: pending, approve and deny for
// confirmations; intake, intake fulfil and intake reject for intake requests.

#include <fmt/format.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/owner_key.hpp"
#include "cli/terminal_text.hpp"
#include "cli/prompt.hpp"
#include "cli/value_input.hpp"
#include "core/oversight/clock.hpp"
#include "core/codec/json_writer.hpp"
#include "core/oversight/confirm_json.hpp"
#include "core/model/sensitivity.hpp"
#include "session/arguments.hpp"
#include "session/confirmation_answers.hpp"
#include "session/intake_answers.hpp"

namespace tarnel::cli {

namespace {

// The requester's wait: what the module passes its confirmer.
constexpr std::chrono::seconds kWait = std::chrono::duration_cast<std::chrono::seconds>(session::kConfirmTimeout);

struct RequestArgs {
    std::string id;
    bool json = false;
};

const core::SystemClock& wall_clock() {
    static const core::SystemClock clock;
    return clock;
}

std::string age_text(std::uint64_t seconds) {
    if (seconds < 120) return fmt::format("{}s", seconds);
    if (seconds < 2 * 3600) return fmt::format("{}m", seconds / 60);
    if (seconds < 2 * 86400) return fmt::format("{}h", seconds / 3600);
    return fmt::format("{}d", seconds / 86400);
}

std::string_view state_word(session::RequestState state) {
    switch (state) {
        case session::RequestState::Waiting: return "waiting";
        case session::RequestState::Answered: return "answered";
        case session::RequestState::Expired: return "expired";
    }
    return "";
}

void print_line(std::string_view label, const std::optional<std::string>& text) {
    if (text) fmt::print("  {:<15}{}\n", label, terminal_safe(*text));
}

void print_unreadable(std::string_view what, const std::vector<core::UnreadableRequest>& unreadable) {
    for (const auto& bad : unreadable) print_error(fmt::format("skipped {} {}: {}", what, bad.id, bad.reason));
}

// A run is approved for what it will do: its whole argument list, where it
// runs, and every variable it gets, literals with their values.
void print_run(const core::RunDetail& run) {
    fmt::print("  {:<15}{}\n", "program:", terminal_safe(run.program));
    for (std::size_t i = 0; i < run.arguments.size(); ++i) {
        fmt::print("  {:<15}{}\n", fmt::format("argument {}:", i + 1), terminal_safe(run.arguments[i]));
    }
    fmt::print("  {:<15}{}\n", "directory:", terminal_safe(run.working_directory));
    for (const auto& variable : run.variables) {
        switch (variable.source) {
            case core::ShownVariable::Source::Literal:
                fmt::print("  {:<15}{} = \"{}\" (set by the requester)\n", "variable:", terminal_safe(variable.name),
                           terminal_safe(variable.text));
                break;
            case core::ShownVariable::Source::Env:
                fmt::print("  {:<15}{} = ${{env:{}}}\n", "variable:", terminal_safe(variable.name),
                           terminal_safe(variable.text));
                break;
            case core::ShownVariable::Source::Vault:
                if (variable.fallback) {
                    fmt::print("  {:<15}{} = \"{}\" (set by the requester: secret:{} is not in the vault)\n",
                               "variable:", terminal_safe(variable.name), terminal_safe(*variable.fallback),
                               terminal_safe(variable.text));
                    break;
                }
                fmt::print("  {:<15}{} = secret:{} ({})\n", "variable:", terminal_safe(variable.name),
                           terminal_safe(variable.text),
                           variable.sensitivity ? core::sensitivity_word(*variable.sensitivity) : "not found");
                break;
        }
    }
}

// The person reads this before deciding, so it says everything the request says.
void print_confirmation(const core::PendingConfirmation& pending, std::uint64_t now) {
    const auto& request = pending.request;
    const auto state = session::state_of(pending, now);
    const auto age = session::age_of(pending.created_unix, now);
    const std::string timing =
        state == session::RequestState::Waiting
            ? fmt::format("{} ago, {} left to answer", age_text(age), age_text(pending.expires_unix - now))
            : fmt::format("{} ago, {}", age_text(age), state_word(state));
    fmt::print("{}  ({})\n", pending.id.text(), timing);
    print_line("action:", request.action);
    print_line("command:", request.resolved_command);
    print_line("coordinate:", request.coordinate);
    fmt::print("  {:<15}{}\n", "sensitivity:", core::sensitivity_word(request.sensitivity));
    print_line("environment:", request.environment);
    fmt::print("  {:<15}{}\n", "requested by:", core::actor_word(request.origin));
    print_line("process:", request.requesting_process);
    print_line("their words:", request.requester_description);
    if (request.run) print_run(*request.run);
}

std::string confirmations_json(const std::vector<core::PendingConfirmation>& requests, std::uint64_t now) {
    rapidjson::StringBuffer buffer;
    core::json::Writer writer(buffer);
    using core::json::key;
    using core::json::member;
    writer.StartArray();
    for (const auto& pending : requests) {
        writer.StartObject();
        member(writer, "id", pending.id.text());
        key(writer, "created_unix");
        writer.Uint64(pending.created_unix);
        key(writer, "age_seconds");
        writer.Uint64(session::age_of(pending.created_unix, now));
        key(writer, "expires_unix");
        writer.Uint64(pending.expires_unix);
        member(writer, "state", state_word(session::state_of(pending, now)));
        // The texts were read as UTF-8, so the writer cannot refuse them.
        (void)core::write_request_members(writer, pending.request);
        writer.EndObject();
    }
    writer.EndArray();
    return core::json::text_of(buffer);
}

// Shows one directory's requests: the files that did not read as requests on
// standard error, the rest as JSON or as text.
template <class Request, class ToJson, class PrintOne>
int show_listing(const session::SessionResult<core::RequestListing<Request>>& listed, std::string_view what,
                 std::string_view none, bool json, const ToJson& to_json, const PrintOne& print_one) {
    if (!listed) return report(listed.error());
    const auto now = wall_clock().unix_secs();
    print_unreadable(what, listed->unreadable);
    if (listed->abandoned > 0) {
        print_error(fmt::format("removed {} {}{} whose requester is gone", listed->abandoned, what,
                                listed->abandoned == 1 ? "" : "s"));
    }
    if (json) {
        fmt::print("{}\n", to_json(listed->requests, now));
    } else if (listed->requests.empty()) {
        fmt::print("{}\n", none);
    } else {
        for (const auto& request : listed->requests) print_one(request, now);
    }
    return kExitOk;
}

int run_pending(const GlobalOptions& options, const RequestArgs& args) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    return show_listing(session::list_confirmations(*root), "request", "no pending requests", args.json,
                        confirmations_json, print_confirmation);
}

int report_request(const session::SessionError& error, std::string_view what, std::string_view id) {
    if (std::holds_alternative<session::SessionError::NotFound>(error.kind())) {
        print_error(fmt::format("no {} {}", what, id));
        return kExitNotFound;
    }
    return report(error);
}

int run_approve(const GlobalOptions& options, const RequestArgs& args) {
    const auto id = session::check_request_id(args.id);
    if (!id) return report(id.error());
    // Asked on the terminal and never taken from the environment: an agent
    // with a shell must not approve its own request.
    if (!has_terminal()) {
        print_error("approve needs a terminal, where you type the vault passphrase; nothing approved");
        return kExitDenied;
    }
    auto root = vault_root(options);
    if (!root) return report(root.error());
    // Read once: what is shown is what the proof is checked on and what is approved.
    auto pending = session::confirmation_to_answer(*root, *id, wall_clock());
    if (!pending) return report_request(pending.error(), "pending request", args.id);
    print_confirmation(*pending, wall_clock().unix_secs());
    std::fflush(stdout);

    auto key = owner_key(*root, "nothing approved");
    if (!key) return report(key.error());
    auto answered = session::approve_confirmation(*root, *pending, *key, wall_clock());
    if (!answered) return report_request(answered.error(), "pending request", args.id);
    fmt::print("approved {} (its proof is the vault's)\n", args.id);
    return kExitOk;
}

int run_deny(const GlobalOptions& options, const RequestArgs& args) {
    const auto id = session::check_request_id(args.id);
    if (!id) return report(id.error());
    auto root = vault_root(options);
    if (!root) return report(root.error());
    auto answered = session::deny_confirmation(*root, *id, wall_clock());
    if (!answered) return report_request(answered.error(), "pending request", args.id);
    fmt::print("denied {}\n", args.id);
    return kExitOk;
}

void print_intake(const core::PendingIntake& intake, std::uint64_t now) {
    fmt::print("{}  ({} ago)\n", intake.id, age_text(session::age_of(intake.created_unix, now)));
    print_line("coordinate:", intake.coordinate);
    print_line("project:", intake.project.value_or("(global vault)"));
    fmt::print("  {:<15}{}\n", "sensitivity:", core::sensitivity_word(intake.sensitivity));
    print_line("description:", intake.description);
    fmt::print("  {:<15}{}\n", "requested by:", core::actor_word(intake.origin));
    print_line("process:", intake.requesting_process);
}

std::string intakes_json(const std::vector<core::PendingIntake>& intakes, std::uint64_t now) {
    rapidjson::StringBuffer buffer;
    core::json::Writer writer(buffer);
    using core::json::key;
    using core::json::member;
    using core::json::member_or_null;
    writer.StartArray();
    for (const auto& intake : intakes) {
        writer.StartObject();
        member(writer, "id", intake.id);
        key(writer, "created_unix");
        writer.Uint64(intake.created_unix);
        key(writer, "age_seconds");
        writer.Uint64(session::age_of(intake.created_unix, now));
        member(writer, "coordinate", intake.coordinate);
        member(writer, "sensitivity", core::sensitivity_word(intake.sensitivity));
        member(writer, "environment", intake.environment);
        member(writer, "origin", core::actor_word(intake.origin));
        member_or_null(writer, "requesting_process", intake.requesting_process);
        member_or_null(writer, "description", intake.description);
        member_or_null(writer, "project", intake.project);
        writer.EndObject();
    }
    writer.EndArray();
    return core::json::text_of(buffer);
}

int run_intake_list(const GlobalOptions& options, const RequestArgs& args) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    return show_listing(session::list_intakes(*root), "intake", "no intake requests", args.json, intakes_json,
                        print_intake);
}

int run_fulfil(const GlobalOptions& options, const RequestArgs& args) {
    const auto id = session::check_request_id(args.id);
    if (!id) return report(id.error());
    auto root = vault_root(options);
    if (!root) return report(root.error());
    // Refused before a value is asked for.
    auto intake = session::intake_to_answer(*root, *id);
    if (!intake) return report_request(intake.error(), "intake request", args.id);
    auto session = open_human_session(options);
    if (!session) return report(session.error());

    if (attended()) print_intake(*intake, wall_clock().unix_secs());
    std::string error;
    auto value =
        read_value(fmt::format("Value for {}: ", terminal_safe(intake->coordinate)), session::kMaxValueBytes, error);
    if (!value) {
        print_error(error);
        return kExitError;
    }
    auto view = session->fulfil_intake(*intake, std::move(*value));
    if (!view) return report_request(view.error(), "intake request", args.id);
    fmt::print("created {} ({}, {}) in {} for intake {}\n", view->coordinate, view->sensitivity, view->fingerprint,
               view->origin, args.id);
    return kExitOk;
}

int run_reject(const GlobalOptions& options, const RequestArgs& args) {
    const auto id = session::check_request_id(args.id);
    if (!id) return report(id.error());
    auto root = vault_root(options);
    if (!root) return report(root.error());
    auto rejected = session::reject_intake(*root, *id, wall_clock());
    if (!rejected) return report_request(rejected.error(), "intake request", args.id);
    fmt::print("rejected intake {} ({})\n", args.id, terminal_safe(rejected->coordinate));
    return kExitOk;
}

CLI::Option* add_id(CLI::App& command, RequestArgs& args) {
    return command.add_option("ID", args.id, "The request's identifier, as pending or intake lists it")->required();
}

}  // namespace

void add_request_commands(CLI::App& app, const GlobalOptions& options, int& status) {
    auto pending_args = std::make_shared<RequestArgs>();
    auto* pending = app.add_subcommand("pending", "List the confirmations agents are waiting for");
    pending->add_flag("--json", pending_args->json, "A JSON list instead of text");
    pending->callback([&options, &status, pending_args] { status = run_pending(options, *pending_args); });

    auto approve_args = std::make_shared<RequestArgs>();
    auto* approve =
        app.add_subcommand("approve", "Approve a pending confirmation (on a terminal, with your passphrase)");
    add_id(*approve, *approve_args);
    approve->footer(fmt::format(
        "The passphrase is always typed on the terminal, never taken from TARNEL_PASSPHRASE; a vault keyed by\n"
        "the keyring asks you to type back a code instead. A request expires after {} s.",
        kWait.count()));
    approve->callback([&options, &status, approve_args] { status = run_approve(options, *approve_args); });

    auto deny_args = std::make_shared<RequestArgs>();
    auto* deny = app.add_subcommand("deny", "Deny a pending confirmation");
    add_id(*deny, *deny_args);
    deny->callback([&options, &status, deny_args] { status = run_deny(options, *deny_args); });

    auto intake_args = std::make_shared<RequestArgs>();
    auto* intake =
        app.add_subcommand("intake", "List the secrets agents asked you to create; answer with fulfil or reject");
    intake->add_flag("--json", intake_args->json, "A JSON list instead of text");
    intake->require_subcommand(0, 1);
    intake->callback([&options, &status, intake, intake_args] {
        // With fulfil or reject, their own callback has answered.
        if (intake->get_subcommands().empty()) status = run_intake_list(options, *intake_args);
    });

    auto fulfil_args = std::make_shared<RequestArgs>();
    auto* fulfil = intake->add_subcommand("fulfil", "Create the requested secret with a value you give");
    add_id(*fulfil, *fulfil_args);
    fulfil->footer(
        "The value is read from standard input, or asked without echo; from a pipe, one trailing line end is\n"
        "dropped. The secret gets the requested sensitivity, description and project; an existing secret is\n"
        "never replaced.");
    fulfil->callback([&options, &status, fulfil_args] { status = run_fulfil(options, *fulfil_args); });

    auto reject_args = std::make_shared<RequestArgs>();
    auto* reject = intake->add_subcommand("reject", "Remove an intake request without creating anything");
    add_id(*reject, *reject_args);
    reject->callback([&options, &status, reject_args] { status = run_reject(options, *reject_args); });
}

}  // namespace tarnel::cli
