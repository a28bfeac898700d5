#pragma once

// Questions asked on the controlling terminal (/dev/tty), so they work when
// standard input and output are pipes, and never when there is no terminal.

#include <optional>
#include <string>
#include <string_view>

#include "core/model/secret.hpp"

namespace tarnel::cli {

// An answer that was not given: no terminal, or the reading failed.
struct PromptFailure {
    bool no_terminal = false;
    std::string text;
};

// Reads one line without echo. While echo is off, SIGINT, SIGTERM, SIGHUP and
// SIGQUIT restore the terminal first and then take their usual course.
std::optional<core::SecretValue> ask_secret(std::string_view prompt, PromptFailure& failure);

// Reads one line with echo (for yes/no answers).
std::optional<std::string> ask_line(std::string_view prompt, PromptFailure& failure);

// A new passphrase typed twice without echo; none (and why) when it is
// empty, the two differ or there is no terminal.
std::optional<core::SecretValue> ask_new_passphrase(std::string& error);

// Whether this process has a controlling terminal to ask on.
bool has_terminal();

}  // namespace tarnel::cli
