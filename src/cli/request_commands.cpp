// The owner's answers to what agents ask: pending, approve and deny for
// confirmations; intake, intake fulfil and intake reject for intake requests;
// and both listings watched, each new request answered as it comes.

#include <fmt/format.h>
#include <signal.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/desktop_notice.hpp"
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
    bool watch = false;
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

// Approves the request as `shown` read it, once it was shown, with the key
// from the owner at this terminal.
int approve_shown(const std::filesystem::path& root, const core::PendingConfirmation& shown) {
    auto key = owner_key(root, "nothing approved");
    if (!key) return report(key.error());
    // Answered or withdrawn while the passphrase was typed: nothing to approve.
    if (auto still = session::confirmation_to_answer(root, shown.id, wall_clock()); !still) {
        return report_request(still.error(), "pending request", shown.id.text());
    }
    auto answered = session::approve_confirmation(root, shown, *key, wall_clock());
    if (!answered) return report_request(answered.error(), "pending request", shown.id.text());
    fmt::print("approved {} (its proof is the vault's)\n", shown.id.text());
    return kExitOk;
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
    return approve_shown(*root, *pending);
}

int deny_request(const std::filesystem::path& root, const core::RequestId& id) {
    auto answered = session::deny_confirmation(root, id, wall_clock());
    if (!answered) return report_request(answered.error(), "pending request", id.text());
    fmt::print("denied {}\n", id.text());
    return kExitOk;
}

int run_deny(const GlobalOptions& options, const RequestArgs& args) {
    const auto id = session::check_request_id(args.id);
    if (!id) return report(id.error());
    auto root = vault_root(options);
    if (!root) return report(root.error());
    return deny_request(*root, *id);
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

std::string value_prompt(const core::PendingIntake& intake) {
    return fmt::format("Value for {}: ", terminal_safe(intake.coordinate));
}

// Creates the secret the intake asks for with the value the owner gave.
int fulfil_with(const session::Session& session, const core::PendingIntake& intake, core::SecretValue value) {
    auto view = session.fulfil_intake(intake, std::move(value));
    if (!view) return report_request(view.error(), "intake request", intake.id);
    fmt::print("created {} ({}, {}) in {} for intake {}\n", view->coordinate, view->sensitivity, view->fingerprint,
               view->origin, intake.id);
    return kExitOk;
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
    auto value = read_value(value_prompt(*intake), session::kMaxValueBytes, error);
    if (!value) {
        print_error(error);
        return kExitError;
    }
    return fulfil_with(*session, *intake, std::move(*value));
}

int reject_request(const std::filesystem::path& root, const core::RequestId& id) {
    auto rejected = session::reject_intake(root, id, wall_clock());
    if (!rejected) return report_request(rejected.error(), "intake request", id.text());
    fmt::print("rejected intake {} ({})\n", id.text(), terminal_safe(rejected->coordinate));
    return kExitOk;
}

int run_reject(const GlobalOptions& options, const RequestArgs& args) {
    const auto id = session::check_request_id(args.id);
    if (!id) return report(id.error());
    auto root = vault_root(options);
    if (!root) return report(root.error());
    return reject_request(*root, *id);
}

// --- watching ------------------------------------------------------------------

constexpr struct timespec kWatchInterval{0, 250'000'000};

std::string id_of(const core::PendingConfirmation& pending) { return pending.id.text(); }
std::string id_of(const core::PendingIntake& intake) { return intake.id; }

// What a desktop notification says of a request: what kind it is, what it is
// about and its identifier; never a value, never the requester's own words.
void notify(DesktopNotifier& notifier, const core::PendingConfirmation& pending) {
    const auto& request = pending.request;
    std::string_view kind = "a request";
    std::string subject = "secret:" + request.coordinate;
    if (request.run) {
        kind = "a run";
        subject = "program " + request.run->program;
    } else if (request.resolved_command && request.resolved_command->starts_with("edit ")) {
        kind = "a downgrade";
    } else if (request.action == "reveal" || request.action == "code") {
        kind = "a reveal";
    }
    notifier.show(fmt::format("tarnel: {} waits for your approval", kind), {subject, "request " + id_of(pending)});
}

void notify(DesktopNotifier& notifier, const core::PendingIntake& intake) {
    notifier.show("tarnel: an intake waits for a value", {intake.coordinate, "intake " + intake.id});
}

// The index in `words` of the word typed (or its first letter), asked again
// until one is typed; nothing once the terminal fails.
template <std::size_t N>
std::optional<std::size_t> ask_choice(const std::array<std::string_view, N>& words) {
    std::string question;
    std::string letters;
    for (std::size_t i = 0; i < N; ++i) {
        question += fmt::format("{}{}", i == 0 ? "" : i + 1 == N ? " or " : ", ", words[i]);
        letters += fmt::format("{}{}", i == 0 ? "" : "/", words[i].front());
    }
    question = fmt::format("{}? [{}] ", question, letters);
    for (;;) {
        PromptFailure failure;
        auto typed = ask_line(question, failure);
        if (!typed) {
            print_error(failure.text);
            return std::nullopt;
        }
        for (std::size_t i = 0; i < N; ++i) {
            if (*typed == words[i] || (typed->size() == 1 && typed->front() == words[i].front())) return i;
        }
    }
}

// Lists the requests every 250 ms, notifies each new one and hands it to
// `answer` (false once the terminal is gone), until SIGINT or SIGTERM. Those
// are blocked and taken here between the questions; at a question they take
// their usual course, which puts the terminal back first.
template <class Request, class List, class Answer>
int watch(std::string_view what, const List& list, const Answer& answer) {
    sigset_t stops;
    ::sigemptyset(&stops);
    ::sigaddset(&stops, SIGINT);
    ::sigaddset(&stops, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    DesktopNotifier notifier;
    std::set<std::string> seen;
    std::set<std::string> reported;
    fmt::print("waiting for {}s (Ctrl-C to stop)\n", what);
    for (;;) {
        auto listed = list();
        if (!listed) return report(listed.error());
        for (const auto& bad : listed->unreadable) {
            if (reported.insert(bad.id).second) print_error(fmt::format("skipped {} {}: {}", what, bad.id, bad.reason));
        }
        if (listed->abandoned > 0) {
            print_error(fmt::format("removed {} {}{} whose requester is gone", listed->abandoned, what,
                                    listed->abandoned == 1 ? "" : "s"));
        }
        std::set<std::string> listed_ids;
        std::vector<const Request*> fresh;
        for (const Request& request : listed->requests) {
            listed_ids.insert(id_of(request));
            if (seen.insert(id_of(request)).second) fresh.push_back(&request);
        }
        std::erase_if(seen, [&](const std::string& id) { return !listed_ids.contains(id); });
        for (const auto* request : fresh) notify(notifier, *request);
        for (const auto* request : fresh) {
            ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
            const bool going_on = answer(*request);
            ::sigprocmask(SIG_BLOCK, &stops, nullptr);
            if (!going_on) return kExitError;
        }
        if (std::fflush(stdout) != 0) return kExitError;
        const int signal_number = ::sigtimedwait(&stops, nullptr, &kWatchInterval);
        if (signal_number > 0) return 128 + signal_number;
    }
}

// A request the watch will not ask about: gone, or no longer answerable as it
// reads now.
void report_skipped(std::string_view what, std::string_view id, const session::SessionError& error) {
    if (std::holds_alternative<session::SessionError::NotFound>(error.kind())) {
        print_error(fmt::format("{} {} is gone", what, id));
    } else {
        print_error(fmt::format("skipped {} {}: {}", what, id, error.message()));
    }
}

bool watch_needs_terminal(std::string_view command) {
    if (has_terminal()) return true;
    print_error(fmt::format("{} --watch needs a terminal, where you answer each request; nothing answered", command));
    return false;
}

int watch_pending(const GlobalOptions& options) {
    if (!watch_needs_terminal("pending")) return kExitDenied;
    auto root = vault_root(options);
    if (!root) return report(root.error());
    return watch<core::PendingConfirmation>(
        "request", [&] { return session::list_confirmations(*root); },
        [&](const core::PendingConfirmation& listed) {
            // Read again now: it may have been answered or withdrawn meanwhile.
            auto pending = session::confirmation_to_answer(*root, listed.id, wall_clock());
            if (!pending) {
                report_skipped("request", listed.id.text(), pending.error());
                return true;
            }
            fmt::print("\n");
            print_confirmation(*pending, wall_clock().unix_secs());
            std::fflush(stdout);
            const auto choice = ask_choice(std::array<std::string_view, 3>{"approve", "deny", "skip"});
            if (!choice) return false;
            if (*choice == 0) {
                (void)approve_shown(*root, *pending);
            } else if (*choice == 1) {
                (void)deny_request(*root, pending->id);
            } else {
                fmt::print("skipped {}\n", pending->id.text());
            }
            return true;
        });
}

int watch_intakes(const GlobalOptions& options) {
    if (!watch_needs_terminal("intake")) return kExitDenied;
    auto root = vault_root(options);
    if (!root) return report(root.error());
    // Opened at the first fulfilment, and kept for the next.
    std::optional<session::Session> owner_session;
    return watch<core::PendingIntake>(
        "intake", [&] { return session::list_intakes(*root); },
        [&](const core::PendingIntake& listed) {
            const auto id = session::check_request_id(listed.id);
            auto intake = id ? session::intake_to_answer(*root, *id) : std::unexpected(id.error());
            if (!intake) {
                report_skipped("intake", listed.id, intake.error());
                return true;
            }
            fmt::print("\n");
            print_intake(*intake, wall_clock().unix_secs());
            std::fflush(stdout);
            const auto choice = ask_choice(std::array<std::string_view, 3>{"fulfil", "reject", "skip"});
            if (!choice) return false;
            if (*choice == 1) {
                (void)reject_request(*root, *id);
                return true;
            }
            if (*choice == 2) {
                fmt::print("skipped intake {}\n", intake->id);
                return true;
            }
            if (!owner_session) {
                auto opened = open_human_session(options);
                if (!opened) {
                    (void)report(opened.error());
                    return true;
                }
                owner_session.emplace(std::move(*opened));
            }
            PromptFailure failure;
            auto value = ask_secret(value_prompt(*intake), failure);
            if (!value) {
                print_error(failure.text);
                return false;
            }
            (void)fulfil_with(*owner_session, *intake, std::move(*value));
            return true;
        });
}

CLI::Option* add_id(CLI::App& command, RequestArgs& args) {
    return command.add_option("ID", args.id, "The request's identifier, as pending or intake lists it")->required();
}

}  // namespace

void add_request_commands(CLI::App& app, const GlobalOptions& options, int& status) {
    auto pending_args = std::make_shared<RequestArgs>();
    auto* pending = app.add_subcommand("pending", "List the confirmations agents are waiting for");
    auto* pending_json = pending->add_flag("--json", pending_args->json, "A JSON list instead of text");
    pending->add_flag("--watch", pending_args->watch, "Wait for requests and answer each as it comes (a terminal)")
        ->excludes(pending_json);
    pending->footer(
        "With --watch, each new request is shown and answered on the terminal: approve (asking the passphrase,\n"
        "as approve does), deny or skip; a desktop notification names it too where the session bus has a\n"
        "notification service. Ctrl-C ends the watch.");
    pending->callback([&options, &status, pending_args] {
        status = pending_args->watch ? watch_pending(options) : run_pending(options, *pending_args);
    });

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
    auto* intake_json = intake->add_flag("--json", intake_args->json, "A JSON list instead of text");
    intake->add_flag("--watch", intake_args->watch, "Wait for intake requests and answer each as it comes (a terminal)")
        ->excludes(intake_json);
    intake->require_subcommand(0, 1);
    intake->callback([&options, &status, intake, intake_args] {
        // With fulfil or reject, their own callback has answered.
        if (!intake->get_subcommands().empty()) return;
        status = intake_args->watch ? watch_intakes(options) : run_intake_list(options, *intake_args);
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
