// inject_run and inject_passthrough: secrets used by a child program without
// reaching the caller.

#include <errno.h>

#include <filesystem>
#include <utility>
#include <variant>

#include "core/run/env_source.hpp"
#include "core/run/envrefs.hpp"
#include "core/oversight/file_confirm.hpp"
#include "core/keys/keyring.hpp"
#include "providers/aws.hpp"
#include "providers/azure.hpp"
#include "session/session.hpp"
#include "wrapper/allowlist.hpp"
#include "wrapper/runner.hpp"
#include "wrapper/wrapper.hpp"

namespace tarnel::session {

namespace {

// Each cloud client gets this long before it is killed.
constexpr std::chrono::seconds kProviderTimeout{15};

core::SchemeRouter cloud_router() {
    return core::SchemeRouter()
        .with(std::make_unique<providers::AzureProvider>(kProviderTimeout))
        .with(std::make_unique<providers::AwsProvider>(kProviderTimeout));
}

SessionError from_wrapper(wrapper::WrapperError error) {
    if (error.is_refusal()) return SessionError::denied(error.display());
    if (auto* core_error = std::get_if<core::CoreError>(&error.kind())) return std::move(*core_error);
    return SessionError::other(error.display());
}

}  // namespace

SessionResult<wrapper::WrapperResult<wrapper::RunOutput>> Session::run_wrapped(
    std::string_view refs, std::string_view env, std::string_view program, const std::vector<std::string>& args,
    OptText project, OptText client_identity, const wrapper::ProcessRunner& runner,
    const core::CancelToken& cancel) const {
    const core::FileAuditSink audit_sink = core::FileAuditSink::under_root(root_);
    const wrapper::Allowlist allowlist = wrapper::Allowlist::under_root(root_, key_);
    const core::SchemeRouter router = cloud_router();

    if (!principal_.scope.permits(core::Operation::Inject)) return fail(SessionError::not_found());
    auto parsed = core::EnvRefs::parse(refs);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    if (!project && parsed->project) project = *parsed->project;

    // Every vault coordinate of the file must be addressable before anything
    // is read, fetched or run, so a refused file reveals nothing.
    for (const auto& [name, source] : parsed->vars) {
        const auto* secret = std::get_if<core::source::Secret>(&source);
        if (secret == nullptr) continue;
        auto at = core::Coordinate::from_str(secret->uri);
        if (!at) return std::unexpected(std::move(at.error()));
        if (decide(core::Operation::Inject, at->with_env(env), project).kind ==
            core::PolicyDecision::Kind::NotAddressable) {
            return fail(SessionError::not_found());
        }
    }

    // The resolver gets the unlocked key without asking the keyring again.
    const core::MemoryKeyring keyring(key_.clone());
    const core::SystemEnvSource env_source;
    const wrapper::WrapperParts parts{registry_,  keyring, env_source, router, *confirmer_,
                                      audit_sink, *clock_, allowlist,  runner};
    wrapper::WrapperSettings settings;
    if (client_identity) settings.client_identity = std::string(*client_identity);
    settings.confirm_timeout = confirm_timeout_;
    settings.passthrough = runner.passes_through();
    settings.cancel = &cancel;
    const wrapper::Wrapper run_wrapper(parts, std::move(settings));
    return run_wrapper.run(*parsed, env, project, std::filesystem::path(program), args, principal_.actor);
}

SessionResult<InjectOutput> Session::inject_run(std::string_view refs, std::string_view env, std::string_view program,
                                                const std::vector<std::string>& args, OptText project,
                                                OptText client_identity, const core::CancelToken& cancel) const {
    const wrapper::SystemRunner runner;
    auto ran = run_wrapped(refs, env, program, args, project, client_identity, runner, cancel);
    if (!ran) return std::unexpected(std::move(ran.error()));
    if (!*ran) return fail(from_wrapper(std::move(ran->error())));
    wrapper::RunOutput& output = **ran;
    return InjectOutput{std::move(output.out), std::move(output.err), output.code};
}

SessionResult<RunEnding> Session::inject_passthrough(std::string_view refs, std::string_view env,
                                                     std::string_view program, const std::vector<std::string>& args,
                                                     OptText project) const {
    const wrapper::SystemPassthroughRunner runner;
    auto ran = run_wrapped(refs, env, program, args, project, std::nullopt, runner, core::CancelToken::never());
    if (!ran) return std::unexpected(std::move(ran.error()));
    if (!*ran) {
        wrapper::WrapperError error = std::move(ran->error());
        if (const auto* launch = std::get_if<wrapper::failure::Launch>(&error.kind())) {
            return ending::NotStarted{error.display(), launch->error_number == ENOENT};
        }
        return fail(from_wrapper(std::move(error)));
    }
    const wrapper::RunOutput& output = **ran;
    if (output.code) return ending::Exited{*output.code};
    // A child is either exited or signalled once waited for.
    return ending::Signalled{output.signal.value_or(0)};
}

}  // namespace tarnel::session
