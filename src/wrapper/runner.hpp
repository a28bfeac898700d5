#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/base/cancel_token.hpp"
#include "core/model/secret.hpp"
#include "wrapper/error.hpp"

namespace tarnel::wrapper {

struct Command {
    std::filesystem::path program;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, core::SecretValue>> env;
    bool passthrough = false;
    // Stops a captured child (its whole process group) once cancelled.
    const core::CancelToken* cancel = &core::CancelToken::never();
};

struct Output {
    // Wiping holders: before masking they hold whatever the child printed.
    core::SecretValue out;
    core::SecretValue err;
    std::optional<std::int32_t> code;          // absent when the child ended by a signal
    std::optional<int> signal = std::nullopt;  // the signal that ended it
};

class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    virtual WrapperResult<Output> run(const Command& command) const = 0;
    // True for a runner whose child shares the caller's streams, so there is
    // no output to capture or mask.
    [[nodiscard]] virtual bool passes_through() const noexcept { return false; }
};

// Starts real children: the caller's environment without the "TARNEL_"
// variables, plus the command's pairs; no time-out, but a cancelled command
// ends its child.
class SystemRunner final : public ProcessRunner {
public:
    WrapperResult<Output> run(const Command& command) const override;
};

// Starts a real child in the foreground, whatever the command's passthrough
// flag says: it shares the caller's terminal and standard streams, and the
// signals that ask to stop are relayed to it (core::run_attached). For a
// person at a terminal running their own program; the output is never seen.
class SystemPassthroughRunner final : public ProcessRunner {
public:
    WrapperResult<Output> run(const Command& command) const override;
    [[nodiscard]] bool passes_through() const noexcept override { return true; }
};

}  // namespace tarnel::wrapper
