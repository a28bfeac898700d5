#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/oversight/audit.hpp"
#include "core/oversight/clock.hpp"
#include "core/oversight/confirm.hpp"
#include "core/run/env_source.hpp"
#include "core/run/envrefs.hpp"
#include "core/keys/keyring.hpp"
#include "core/run/provider.hpp"
#include "core/store/registry.hpp"
#include "wrapper/allowlist.hpp"
#include "wrapper/error.hpp"
#include "wrapper/runner.hpp"
#include "wrapper/sanitize.hpp"

namespace tarnel::wrapper {

// Everything one run borrows. All of it must outlive the run.
struct WrapperParts {
    const core::Registry& registry;
    const core::Keyring& keyring;
    const core::EnvSource& env;
    const core::SecretProvider& provider;
    const core::Confirmer& confirmer;
    const core::AuditSink& audit;
    const core::Clock& clock;
    const Allowlist& allowlist;
    const ProcessRunner& runner;
};

struct WrapperSettings {
    std::optional<std::string> client_identity;  // shown to the human as the requesting process
    std::chrono::milliseconds confirm_timeout{std::chrono::seconds(120)};
    bool mask_output = true;
    bool passthrough = false;
    // The caller's way to give up: it withdraws a waiting confirmation and
    // stops a running child. Must outlive the run.
    const core::CancelToken* cancel = &core::CancelToken::never();
};

// What a run leaves its caller: each stream masked and ready to be written
// out once, and how the child ended.
struct RunOutput {
    MaskedText out;
    MaskedText err;
    std::optional<std::int32_t> code;  // absent when the child ended by a signal
    std::optional<int> signal;         // the signal that ended it
};

// Runs one program with resolved values in its environment, behind the
// allowlist and confirmation gates, auditing each gate and injection.
class Wrapper {
public:
    Wrapper(WrapperParts parts, WrapperSettings settings) : parts_(parts), settings_(std::move(settings)) {}

    WrapperResult<RunOutput> run(const core::EnvRefs& refs, std::string_view environment,
                                 std::optional<std::string_view> project, const std::filesystem::path& program,
                                 const std::vector<std::string>& args, core::Actor actor) const;

private:
    WrapperParts parts_;
    WrapperSettings settings_;
};

}  // namespace tarnel::wrapper
