// tarnel: the vault owner's command line. Each command parses its arguments,
// calls the session, and turns the answer into output and an exit code.

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fstream>

#include <CLI/CLI.hpp>
#include <string>

#include "cli/commands.hpp"
#include "cli/exit_codes.hpp"
#include "cli/vault_access.hpp"
#include "core/run/signal_relay.hpp"

namespace {

// Secrets pass through this process's memory: no core file may keep them.
// The step that failed, or nothing.
const char* forbid_core_dumps() {
    const struct rlimit none{0, 0};
    if (::setrlimit(RLIMIT_CORE, &none) != 0) return "setrlimit(RLIMIT_CORE)";
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return "prctl(PR_SET_DUMPABLE)";
    return nullptr;
}

// Whether this process may lock its memory: an unlimited lock limit, or the
// capability that lifts it (CAP_IPC_LOCK, bit 14 of the effective set).
bool may_lock_all_memory() {
    struct rlimit limit{};
    if (::getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY) return true;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        try {
            return (std::stoull(line.substr(7), nullptr, 16) >> 14) & 1U;
        } catch (const std::exception&) {
            return false;
        }
    }
    return false;
}

// Keeps passphrases, keys and values out of swap where the system allows it.
// Under a finite lock limit, locking future mappings would make allocations
// fail once the limit is reached, so then nothing is locked.
// The step that failed, or nothing; not locking where it is not allowed is
// no failure.
const char* lock_memory() {
    if (!may_lock_all_memory()) return nullptr;
    return ::mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0 ? nullptr : "mlockall";
}

void report_start_up(const char* step, int error_number, bool fatal) {
    std::fprintf(stderr, "tarnel: %s%s failed: %s\n", fatal ? "" : "warning: ", step, std::strerror(error_number));
}

// An ignored SIGCHLD survives exec, and with it the kernel reaps our children
// itself: their exit statuses, which run and the cloud clients report, would be
// lost. Nothing here wants it ignored.
void take_back_child_statuses() { ::signal(SIGCHLD, SIG_DFL); }

pid_t worker = -1;
bool leads_session = false;

// Signals sent to this process by another (kill, sigqueue) go on to the
// worker, marked as passed on; those the terminal sends (Ctrl-C) reach the
// worker itself already, except the hangup, which reaches only the leader of
// the terminal's session.
void pass_on(int number, siginfo_t* info, void* /*context*/) {
    const int saved_errno = errno;
    const bool from_a_process = info->si_code <= 0;
    if (worker > 0 && (from_a_process || (number == SIGHUP && leads_session))) {
        const sigval mark{.sival_int = tarnel::core::kPassedOnMark};
        ::sigqueue(worker, number, mark);
    }
    errno = saved_errno;
}

// A fresh image can be opened through /proc/PID/mem by any process of the
// user until it makes itself non-dumpable, and a descriptor opened in that
// moment keeps working after. So the command runs in a child forked once
// this process is non-dumpable: that memory is the child's own from the fork
// on and was never open to anyone. This process waits and ends as the child
// did. Returns in the child; never returns in this process.
void work_in_fresh_memory() {
    // Held until the handlers are in place, so none is lost in between.
    sigset_t relayed;
    sigset_t previous;
    ::sigemptyset(&relayed);
    for (int number : tarnel::core::kRelayedSignals) ::sigaddset(&relayed, number);
    ::sigprocmask(SIG_BLOCK, &relayed, &previous);
    leads_session = ::getsid(0) == ::getpid();
    worker = ::fork();
    if (worker <= 0) {  // the child, or no fork (then this process does the work)
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        return;
    }
    struct sigaction relay{};
    relay.sa_sigaction = pass_on;
    relay.sa_flags = SA_SIGINFO | SA_RESTART;
    ::sigfillset(&relay.sa_mask);
    for (int number : tarnel::core::kRelayedSignals) {
        struct sigaction inherited{};
        ::sigaction(number, nullptr, &inherited);
        // What this process was started ignoring, its worker ignores too.
        if (inherited.sa_handler != SIG_IGN) ::sigaction(number, &relay, nullptr);
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    int status = 0;
    while (::waitpid(worker, &status, 0) < 0) {
        if (errno != EINTR) ::_exit(tarnel::cli::kExitError);
    }
    if (WIFSIGNALED(status)) {
        const int number = WTERMSIG(status);
        ::signal(number, SIG_DFL);
        sigset_t just;
        ::sigemptyset(&just);
        ::sigaddset(&just, number);
        ::sigprocmask(SIG_UNBLOCK, &just, nullptr);
        ::raise(number);
        ::_exit(128 + number);
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : tarnel::cli::kExitError);
}

std::string usage_failure(const CLI::App*, const CLI::Error& error) {
    return "tarnel: " + std::string(error.what()) + "\nRun with --help for more information.\n";
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tarnel::cli;
    // In this order, each step checked: nothing secret is read before the
    // process is non-dumpable, and the work runs in memory forked after that.
    if (const char* failed = forbid_core_dumps()) {
        report_start_up(failed, errno, true);
        return kExitError;
    }
    take_back_child_statuses();
    work_in_fresh_memory();
    // Locks are not inherited by a child: taken here, in the one that works.
    // Without them values may reach swap, which is worth a word but no refusal.
    if (const char* failed = lock_memory()) report_start_up(failed, errno, false);

    CLI::App app("tarnel: keep the vault's secrets, for you and for your agents", "tarnel");
    app.footer(
        std::string("Environment:\n"
                    "  TARNEL_VAULT_DIR   the vault root when --vault-dir is not given\n"
                    "  TARNEL_PASSPHRASE  the vault passphrase (else asked on the terminal, else the keyring)\n\n") +
        kExitCodeTable);
    app.require_subcommand(1);
    app.failure_message(usage_failure);

    GlobalOptions options;
    app.add_option("--vault-dir", options.vault_dir, "The vault root (else TARNEL_VAULT_DIR, else ~/.vaults)")
        ->type_name("DIR");

    int status = kExitOk;
    add_init_command(app, options, status);
    add_secret_commands(app, options, status);
    add_kind_commands(app, options, status);
    add_request_commands(app, options, status);
    add_run_command(app, options, status);
    add_allowlist_commands(app, options, status);
    add_audit_command(app, options, status);
    add_unlock_commands(app, options, status);
    add_import_command(app, options, status);
    add_passwd_command(app, options, status);
    add_check_command(app, options, status);
    add_completion_command(app, status);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? kExitOk : kExitUsage;
    }
    return status;
}
