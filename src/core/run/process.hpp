#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/cancel_token.hpp"
#include "core/model/secret.hpp"

namespace tarnel::core {

// The environment a child starts with. Entries are held as "NAME=value" in
// wiping holders, since injected values are secrets.
class ChildEnvironment {
public:
    // The current process's environment without the variables whose names
    // begin with "TARNEL_": the vault's own settings never reach a child.
    static ChildEnvironment inherited_without_vault_settings();

    // Sets a variable, replacing one of the same name.
    void set(std::string_view name, std::span<const std::uint8_t> value);
    // Null-terminated pointers into the entries, valid while this object lives
    // unchanged.
    std::vector<char*> envp() const;
    std::size_t size() const noexcept { return entries_.size(); }

private:
    std::vector<SecretValue> entries_;  // each "NAME=value" followed by a NUL byte
};

struct ProcessSpec {
    std::string program;            // a path, or a name looked up through PATH
    std::vector<std::string> args;  // the arguments after the program name
    // true: standard input reads /dev/null and both outputs are captured;
    // false: the child shares the caller's three standard streams.
    bool capture = true;
    // Kills (SIGKILL) and reaps the child once this has passed.
    std::optional<std::chrono::milliseconds> timeout;
    // Once cancelled, the child gets SIGTERM, then SIGKILL after kStopGrace,
    // and the run fails as Cancelled. A captured child leads a process group
    // of its own, and both signals go to the whole group.
    const CancelToken* cancel = nullptr;
};

inline constexpr std::chrono::milliseconds kStopGrace{1000};

struct ProcessOutput {
    // Wiping holders: a child may print what it was given.
    SecretValue out;
    SecretValue err;
    std::optional<std::int32_t> code;          // the low 8 bits of the exit status; absent after a signal
    std::optional<int> signal = std::nullopt;  // the signal that ended the child
};

enum class ProcessFailure : std::uint8_t { Start, Wait, TimedOut, Cancelled };

struct ProcessError {
    ProcessFailure kind;
    std::string os_text;   // os_error_text() of the failing call; empty for TimedOut and Cancelled
    int error_number = 0;  // the errno value behind os_text
};

// Starts the program with posix_spawn (no shell; posix_spawnp when the
// program has no "/"), with only descriptors 0, 1 and 2 open in the child,
// default signal dispositions and an empty signal mask. Both output pipes
// are drained while waiting, so a child may write any amount.
[[nodiscard]] std::expected<ProcessOutput, ProcessError> run_process(const ProcessSpec& spec,
                                                                     const ChildEnvironment& env);

// Starts the program as run_process does, but in the foreground: it shares
// the caller's three standard streams (so an interactive program works) and
// the signals of SignalRelay are relayed to it until it ends; the caller
// outlives them. No time-out; both outputs of the result are empty.
[[nodiscard]] std::expected<ProcessOutput, ProcessError> run_attached(const std::string& program,
                                                                      const std::vector<std::string>& args,
                                                                      const ChildEnvironment& env);

}  // namespace tarnel::core
