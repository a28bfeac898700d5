#include "wrapper/runner.hpp"

#include <string_view>
#include <utility>

#include "core/run/process.hpp"
#include "core/codec/utf8.hpp"

namespace tarnel::wrapper {

namespace {

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// What both runners refuse before starting anything, and the environment
// they start the child with.
WrapperResult<core::ChildEnvironment> child_environment(const Command& command) {
    // The exec interfaces end every string at its first NUL: running a
    // shorter program name, argument or value than asked is never right.
    bool nul = has_nul(command.program.native());
    for (const std::string& arg : command.args) nul = nul || has_nul(arg);
    if (nul) return fail(failure::Launch{"launch " + command.program.string() + ": nul byte found in provided data"});

    core::ChildEnvironment env = core::ChildEnvironment::inherited_without_vault_settings();
    for (const auto& [name, value] : command.env) {
        if (!core::is_valid_utf8(value.expose_secret_chars())) {
            return fail(failure::Launch{"value for `" + name + "` is not valid UTF-8 and cannot be injected"});
        }
        if (has_nul(value.expose_secret_chars())) {
            return fail(failure::Launch{"value for `" + name + "` contains a NUL byte and cannot be injected"});
        }
        env.set(name, value.expose_secret());
    }
    return env;
}

WrapperResult<Output> ended(const Command& command, std::expected<core::ProcessOutput, core::ProcessError> ran) {
    if (!ran) {
        if (ran.error().kind == core::ProcessFailure::Cancelled) return fail(failure::Cancelled{.started = true});
        return fail(failure::Launch{"launch " + command.program.string() + ": " + ran.error().os_text,
                                    ran.error().error_number});
    }
    return Output{std::move(ran->out), std::move(ran->err), ran->code, ran->signal};
}

}  // namespace

WrapperResult<Output> SystemRunner::run(const Command& command) const {
    auto env = child_environment(command);
    if (!env) return std::unexpected(std::move(env.error()));
    core::ProcessSpec spec;
    spec.program = command.program.string();
    spec.args = command.args;
    spec.capture = !command.passthrough;
    spec.cancel = command.cancel;
    return ended(command, core::run_process(spec, *env));
}

WrapperResult<Output> SystemPassthroughRunner::run(const Command& command) const {
    auto env = child_environment(command);
    if (!env) return std::unexpected(std::move(env.error()));
    return ended(command, core::run_attached(command.program.string(), command.args, *env));
}

}  // namespace tarnel::wrapper
