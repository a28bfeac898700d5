#pragma once

// The exit statuses scripts may rely on; `tarnel --help` lists the same table.

namespace tarnel::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitError = 1,     // anything not listed below
    kExitUsage = 2,     // the command line itself is wrong
    kExitNotFound = 3,  // no such secret (or none this command may address)
    kExitDenied = 4,    // policy or a human refused
};

inline constexpr const char* kExitCodeTable =
    "Exit codes:\n"
    "  0  success\n"
    "  1  error\n"
    "  2  usage error\n"
    "  3  not found\n"
    "  4  denied (by policy or by a human)\n"
    "  128+n  ended by signal n (130 after Ctrl-C at a prompt)\n";

}  // namespace tarnel::cli
