// audit: the log read back as a table or as its own JSON lines, filtered,
// and followed while it grows. The log is plain text under the root, so no
// key is needed and none is asked for.

#include <fmt/format.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/terminal_text.hpp"
#include "core/oversight/audit_filter.hpp"
#include "core/oversight/audit_reader.hpp"
#include "core/oversight/clock.hpp"
#include "core/store/fs.hpp"

namespace tarnel::cli {

namespace {

struct AuditArgs {
    bool follow = false;
    bool json = false;
    std::optional<std::string> coordinate;
    std::optional<std::string> action;
    std::optional<std::string> since;
};

constexpr std::size_t kColumns = 7;
using Row = std::array<std::string, kColumns>;
const Row kHeading{"TIME", "ACTOR", "ACTION", "RESULT", "COORDINATE", "ENVIRONMENT", "DETAILS"};

std::size_t display_width(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

std::string cell(const std::optional<std::string>& text) { return text ? terminal_safe(*text) : std::string("-"); }

Row row_of(const core::AuditRecord& record) {
    const auto& event = record.event;
    std::vector<std::string> details;
    if (event.fingerprint) details.push_back("fingerprint=" + terminal_safe(*event.fingerprint));
    if (event.requester_note) details.push_back("requester_note=" + terminal_safe(*event.requester_note));
    for (const auto& [name, value] : record.other) details.push_back(terminal_safe(name) + "=" + terminal_safe(value));
    return Row{terminal_safe(event.ts),
               cell(event.origin),
               std::string(core::audit_action_word(event.action)),
               terminal_safe(event.result),
               cell(event.coordinate),
               cell(event.environment),
               fmt::format("{}", fmt::join(details, " "))};
}

// Columns as wide as the widest cell seen when they were sized; later rows
// (while following) keep those widths and only push their own line wider.
class Table {
public:
    Table() {
        for (std::size_t i = 0; i < kColumns; ++i) width_[i] = kHeading[i].size();
    }
    void fit(const std::vector<Row>& rows) {
        for (const auto& row : rows) {
            for (std::size_t i = 0; i < kColumns; ++i) width_[i] = std::max(width_[i], display_width(row[i]));
        }
    }
    void print(const Row& row) const {
        std::string line;
        for (std::size_t i = 0; i + 1 < kColumns; ++i) {
            line += row[i];
            line.append(width_[i] - std::min(width_[i], display_width(row[i])) + 2, ' ');
        }
        line += row.back();
        while (!line.empty() && line.back() == ' ') line.pop_back();
        fmt::print("{}\n", line);
    }

private:
    std::array<std::size_t, kColumns> width_{};
};

// Turns the log's lines into output: JSON lines as stored, or table rows.
class AuditPrinter {
public:
    AuditPrinter(core::AuditFilter filter, bool json) : filter_(std::move(filter)), json_(json) {}

    // Passes over a line that is not an event with one warning naming it.
    void take(core::AuditLine&& line) {
        if (line.too_long) {
            warn(line.number, fmt::format("longer than {} bytes", core::AuditLogReader::kMaxLineBytes));
            return;
        }
        auto record = core::parse_audit_line(line.text);
        if (!record) {
            warn(line.number, record.error().detail());
            return;
        }
        if (!filter_.matches(*record)) return;
        ++shown_;
        if (json_) {
            fmt::print("{}\n", line.text);
        } else {
            rows_.push_back(row_of(*record));
        }
    }

    // Prints the rows taken so far; the first call also sizes the columns
    // and prints the heading.
    void flush_rows(bool heading) {
        if (heading) {
            table_.fit(rows_);
            table_.print(kHeading);
        }
        for (const auto& row : rows_) table_.print(row);
        rows_.clear();
        std::fflush(stdout);
    }

    std::size_t shown() const { return shown_; }

private:
    static void warn(std::uint64_t number, std::string_view why) {
        std::fflush(stdout);
        print_error(fmt::format("skipping audit.log line {}: {}", number, why));
    }

    core::AuditFilter filter_;
    bool json_;
    Table table_;
    std::vector<Row> rows_;
    std::size_t shown_ = 0;
};

// SIGINT and SIGTERM, unless this process was started with them ignored.
sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : {SIGINT, SIGTERM}) {
        struct sigaction current{};
        if (::sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            sigaddset(&set, signal_number);
        }
    }
    return set;
}

int finish_output() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        print_error("writing to standard output failed");
        return kExitError;
    }
    return kExitOk;
}

int read_once(core::AuditLogReader& reader, AuditPrinter& printer, bool json, bool filtered) {
    if (auto read = reader.read_new([&](core::AuditLine&& line) { printer.take(std::move(line)); }); !read) {
        print_error(read.error().display());
        return kExitError;
    }
    if (!json) {
        if (printer.shown() == 0) {
            fmt::print("{}\n", filtered ? "no matching audit events" : "no audit events");
        } else {
            printer.flush_rows(true);
        }
    }
    return finish_output();
}

// Polls the log until SIGINT or SIGTERM arrives; they are blocked and taken
// synchronously, so one arriving between two polls is not lost.
int follow(core::AuditLogReader& reader, AuditPrinter& printer, bool json) {
    const sigset_t stops = stop_signals();
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    bool first = true;
    for (;;) {
        if (auto read = reader.read_new([&](core::AuditLine&& line) { printer.take(std::move(line)); }); !read) {
            print_error(read.error().display());
            return kExitError;
        }
        if (!json) printer.flush_rows(first);
        first = false;
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) return finish_output();

        const struct timespec interval{0, 250'000'000};
        const int signal_number = ::sigtimedwait(&stops, nullptr, &interval);
        if (signal_number > 0) return 128 + signal_number;
    }
}

core::AuditFilter filter_of(const AuditArgs& args) {
    core::AuditFilter filter;
    // The values passed their checks while the command line was parsed.
    if (args.coordinate) filter.coordinate = core::audit_coordinate(*args.coordinate).value();
    if (args.action) filter.action = core::audit_action_from_word(*args.action);
    if (args.since) {
        const auto now = static_cast<std::int64_t>(core::SystemClock().unix_secs());
        filter.since = core::audit_since(*args.since, now);
    }
    return filter;
}

int run_audit(const GlobalOptions& options, const AuditArgs& args) {
    auto root = vault_root(options);
    if (!root) return report(root.error());
    struct stat info{};
    if (::stat(root->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        print_error(fmt::format("no vault at {}", core::quoted_path(*root)));
        return kExitError;
    }
    auto reader = core::AuditLogReader::under_root(*root);
    AuditPrinter printer(filter_of(args), args.json);
    if (args.follow) return follow(reader, printer, args.json);
    return read_once(reader, printer, args.json, args.coordinate || args.action || args.since);
}

std::string check_action(const std::string& word) {
    if (core::audit_action_from_word(word)) return {};
    return fmt::format("unknown action `{}`; one of: {}", word, fmt::join(core::audit_action_words(), ", "));
}

std::string check_coordinate(const std::string& text) {
    auto canonical = core::audit_coordinate(text);
    return canonical ? std::string() : canonical.error().display();
}

std::string check_since(const std::string& text) {
    if (core::audit_since(text, 0)) return {};
    return fmt::format(
        "`{}` is neither an RFC 3339 time such as 2026-12-07T10:00:00Z nor a span such as "
        "30s, 10m, 2h or 7d",
        text);
}

}  // namespace

void add_audit_command(CLI::App& app, const GlobalOptions& options, int& status) {
    auto args = std::make_shared<AuditArgs>();
    auto* audit = app.add_subcommand("audit", "Show the audit log (no passphrase needed)");
    audit->add_flag("--follow,-f", args->follow, "Keep printing events as they are appended, until interrupted");
    audit->add_flag("--json", args->json, "The matching lines as stored: one JSON object per line");
    audit->add_option("--coordinate", args->coordinate, "Only this secret: secret:dev/app/db or dev/app/db")
        ->type_name("COORD")
        ->check(check_coordinate);
    audit->add_option("--action", args->action, "Only this action, e.g. reveal, deny, create")
        ->type_name("ACTION")
        ->check(check_action);
    audit
        ->add_option("--since", args->since,
                     "Only events at or after TIME: an RFC 3339 time (2026-12-07T10:00:00Z) or a span back "
                     "from now (30s, 10m, 2h, 7d)")
        ->type_name("TIME")
        ->check(check_since);
    audit->footer(
        fmt::format("Actions: {}.\n"
                    "A line still being written is shown once it is complete; a line that is not an event is "
                    "skipped with a warning naming its number.\n"
                    "With --follow, Ctrl-C or SIGTERM ends the command with status 130 or 143.",
                    fmt::join(core::audit_action_words(), ", ")));
    audit->callback([&options, &status, args] { status = run_audit(options, *args); });
}

}  // namespace tarnel::cli
