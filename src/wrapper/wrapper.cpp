#include "wrapper/wrapper.hpp"

#include <utility>

#include "core/base/overloaded.hpp"
#include "core/run/resolver.hpp"
#include "wrapper/sanitize.hpp"

namespace tarnel::wrapper {

namespace {

// A vault-backed variable that needs the allowlist, and when high also a human.
struct GatedVar {
    std::string coordinate;
    std::string environment;
    core::Sensitivity sensitivity;
};

struct Gates {
    std::vector<GatedVar> allowlist;  // high, or anything in "prod"
    std::vector<GatedVar> confirm;    // high
};

Gates gates_of(const std::vector<core::ResolvedVar>& vars) {
    Gates gates;
    for (const core::ResolvedVar& var : vars) {
        if (!var.coordinate) continue;
        const core::Sensitivity level = var.sensitivity.value_or(core::Sensitivity::Low);
        const bool high = level == core::Sensitivity::High;
        if (!high && var.environment != "prod") continue;
        GatedVar gated{*var.coordinate, var.environment, level};
        if (high) gates.confirm.push_back(gated);
        gates.allowlist.push_back(std::move(gated));
    }
    return gates;
}

std::string command_text(const std::filesystem::path& program, const std::vector<std::string>& args) {
    std::string text = program.string();
    for (const std::string& arg : args) {
        text += ' ';
        text += arg;
    }
    return text;
}

std::string joined_coordinates(const std::vector<GatedVar>& vars) {
    std::string joined;
    for (const GatedVar& var : vars) {
        if (!joined.empty()) joined += ", ";
        joined += var.coordinate;
    }
    return joined;
}

// The run as the person approving it must see it. Resolution keeps the file's
// order, so each resolved variable stands beside its source.
core::RunDetail run_detail(const core::EnvRefs& refs, const std::vector<core::ResolvedVar>& vars,
                           const std::filesystem::path& program, const std::vector<std::string>& args) {
    std::error_code error;
    core::RunDetail run{program.string(), args, std::filesystem::current_path(error).string(), {}};
    for (std::size_t i = 0; i < refs.vars.size() && i < vars.size(); ++i) {
        const auto& [name, source] = refs.vars[i];
        core::ShownVariable shown{name, core::ShownVariable::Source::Literal, {}, std::nullopt, std::nullopt};
        if (const auto* literal = std::get_if<core::source::Literal>(&source)) {
            shown.text = literal->value;
        } else if (const auto* env = std::get_if<core::source::Env>(&source)) {
            shown.source = core::ShownVariable::Source::Env;
            shown.text = env->var;
        } else if (vars[i].from_fallback) {
            // The caller's text, standing in for a record the vault lacks.
            shown.source = core::ShownVariable::Source::Vault;
            shown.text = vars[i].coordinate.value_or(std::string());
            shown.fallback = std::get<core::source::Secret>(source).fallback;
        } else if (vars[i].coordinate) {
            shown.source = core::ShownVariable::Source::Vault;
            shown.text = *vars[i].coordinate;
            shown.sensitivity = vars[i].sensitivity.value_or(core::Sensitivity::Low);
        } else {
            // A public key half: from the vault, carrying no sensitivity of its own.
            shown.source = core::ShownVariable::Source::Vault;
            std::string_view uri = std::get<core::source::Secret>(source).uri;
            if (uri.starts_with("secret:")) uri.remove_prefix(7);
            shown.text = std::string(uri);
        }
        run.variables.push_back(std::move(shown));
    }
    return run;
}

// The variables as the allowlist gate weighs them: a literal, an ${env:}
// variable and a vault coordinate that fell back to its `| fallback` text are
// the caller's choice of name and value.
std::vector<RunVariable> run_variables(const core::EnvRefs& refs, const std::vector<core::ResolvedVar>& vars) {
    std::vector<RunVariable> variables;
    variables.reserve(refs.vars.size());
    for (std::size_t i = 0; i < refs.vars.size() && i < vars.size(); ++i) {
        const bool from_vault =
            std::holds_alternative<core::source::Secret>(refs.vars[i].second) && !vars[i].from_fallback;
        variables.push_back(RunVariable{refs.vars[i].first, from_vault});
    }
    return variables;
}

// None when the allowlist admits the run.
std::optional<WrapperError::Kind> allowlist_refusal(const AllowVerdict& verdict, const std::string& program,
                                                    std::string_view& result) {
    return std::visit(core::Overloaded{
                          [](const verdict::Admitted&) -> std::optional<WrapperError::Kind> { return std::nullopt; },
                          [&](const verdict::NotListed&) -> std::optional<WrapperError::Kind> {
                              result = "denied:not-allowlisted";
                              return failure::NotAllowlisted{program};
                          },
                          [&](const verdict::OtherArguments&) -> std::optional<WrapperError::Kind> {
                              result = "denied:arguments-not-allowlisted";
                              return failure::ArgumentsNotAllowlisted{program};
                          },
                          [&](const verdict::NotPermitted& refused) -> std::optional<WrapperError::Kind> {
                              result = "denied:variable-not-allowlisted";
                              return failure::VariableNotAllowlisted{program, refused.name};
                          },
                          [&](const verdict::NotSealed&) -> std::optional<WrapperError::Kind> {
                              result = "denied:allowlist-not-sealed";
                              return failure::AllowlistNotSealed{};
                          },
                      },
                      verdict);
}

const GatedVar& shown_environment(const std::vector<GatedVar>& vars) {
    for (const GatedVar& var : vars) {
        if (var.environment == "prod") return var;
    }
    return vars.front();
}

// One run's steps, in the order run() takes them; each audits what it
// decides, and audit failures never change the run's outcome.
class RunSteps {
public:
    RunSteps(const WrapperParts& parts, const WrapperSettings& settings, core::Actor actor)
        : parts_(parts), settings_(settings), actor_(actor) {}

    void audit(core::AuditAction action, std::string_view result, const GatedVar& var) const {
        audit_at(action, result, var.coordinate, var.environment);
    }

    // High values, and every value of "prod", run only a program the sealed
    // allowlist admits with these arguments and variables.
    std::optional<WrapperError::Kind> check_allowlist(const Gates& gates, const std::filesystem::path& executable,
                                                      const std::vector<std::string>& args,
                                                      const std::vector<RunVariable>& variables) const {
        if (gates.allowlist.empty()) return std::nullopt;
        std::string_view result;
        const AllowVerdict verdict = parts_.allowlist.admits(executable, args, variables);
        auto refusal = allowlist_refusal(verdict, executable.string(), result);
        if (refusal) {
            for (const GatedVar& var : gates.allowlist) audit(core::AuditAction::Deny, result, var);
        }
        return refusal;
    }

    // High values need the owner's yes to this very run.
    std::optional<WrapperError::Kind> confirm(const Gates& gates, const core::EnvRefs& refs,
                                              const std::vector<core::ResolvedVar>& vars,
                                              const std::filesystem::path& executable,
                                              const std::vector<std::string>& args) const {
        if (gates.confirm.empty()) return std::nullopt;
        core::ConfirmRequest request(joined_coordinates(gates.confirm), core::Sensitivity::High,
                                     shown_environment(gates.confirm).environment, actor_);
        request.resolved_command = command_text(executable, args);
        request.run = run_detail(refs, vars, executable, args);
        if (settings_.client_identity) request = std::move(request).with_requesting_process(*settings_.client_identity);
        const core::Decision decision = parts_.confirmer.confirm(request, settings_.confirm_timeout, *settings_.cancel);
        for (const GatedVar& var : gates.confirm) audit_decision(decision, var);
        switch (decision) {
            case core::Decision::Approved: return std::nullopt;
            case core::Decision::TimedOut: return failure::ConfirmationTimedOut{};
            case core::Decision::Withdrawn: return failure::Cancelled{.started = false};
            case core::Decision::Denied:
            case core::Decision::Forged: break;
        }
        return failure::ConfirmationDenied{};
    }

    // The command with every value moved into its environment, an inject
    // event for each vault value, and which of them the output must not show.
    Command command_of(const std::filesystem::path& executable, const std::vector<std::string>& args,
                       std::vector<core::ResolvedVar>& vars, std::vector<bool>& masked) const {
        Command command{executable, args, {}, settings_.passthrough, settings_.cancel};
        command.env.reserve(vars.size());
        masked.reserve(vars.size());
        for (core::ResolvedVar& var : vars) {
            if (var.coordinate) audit_at(core::AuditAction::Inject, "injected", *var.coordinate, var.environment);
            masked.push_back(var.coordinate.has_value());
            command.env.emplace_back(var.name, std::move(var.value));
        }
        return command;
    }

    // Vault values, and the forms a program re-encodes them in (base64, hex,
    // URL encoding, single lines), are masked out of what the agent reads.
    RunOutput mask(Output output, const Command& command, const std::vector<bool>& masked) const {
        RunOutput masked_output{{}, {}, output.code, output.signal};
        // A quiet child leaves nothing to mask, and building the masker's index
        // would cost more than the rest of its run.
        const bool printed = !output.out.empty() || !output.err.empty();
        if (!settings_.mask_output || settings_.passthrough || !printed) {
            masked_output.out = MaskedText(std::move(output.out));
            masked_output.err = MaskedText(std::move(output.err));
            return masked_output;
        }
        std::vector<core::SecretValue> secrets;
        for (std::size_t i = 0; i < command.env.size(); ++i) {
            if (masked[i]) secrets.push_back(command.env[i].second.clone());
        }
        Masker masker = Masker::with_encoded_forms(secrets);
        masked_output.out = masker.apply_owned(std::move(output.out));
        masked_output.err = masker.apply_owned(std::move(output.err));
        return masked_output;
    }

private:
    void audit_at(core::AuditAction action, std::string_view result, const std::string& coordinate,
                  const std::string& environment) const {
        auto event = core::AuditEvent(parts_.clock.now_rfc3339(), action, std::string(result))
                         .at(coordinate, environment)
                         .by(actor_);
        (void)parts_.audit.record(event);
    }

    void audit_decision(core::Decision decision, const GatedVar& var) const {
        switch (decision) {
            case core::Decision::Approved: audit(core::AuditAction::Approve, "approved", var); break;
            case core::Decision::Denied: audit(core::AuditAction::Deny, "denied", var); break;
            case core::Decision::TimedOut: audit(core::AuditAction::Timeout, "timeout", var); break;
            case core::Decision::Forged: audit(core::AuditAction::Deny, "forged-approval", var); break;
            case core::Decision::Withdrawn: audit(core::AuditAction::Deny, "withdrawn", var); break;
        }
    }

    const WrapperParts& parts_;
    const WrapperSettings& settings_;
    core::Actor actor_;
};

}  // namespace

WrapperResult<RunOutput> Wrapper::run(const core::EnvRefs& refs, std::string_view environment,
                                      std::optional<std::string_view> project, const std::filesystem::path& program,
                                      const std::vector<std::string>& args, core::Actor actor) const {
    // The run's events reach the log in one write: before anyone is asked,
    // before the child starts, and when the run ends short of that.
    const core::AuditBatch batch(parts_.audit);
    const WrapperParts parts{parts_.registry, parts_.keyring, parts_.env,       parts_.provider, parts_.confirmer,
                             batch,           parts_.clock,   parts_.allowlist, parts_.runner};
    const core::ResolverParts resolver_parts{parts.registry, parts.keyring, parts.env, parts.provider,
                                             parts.audit,    parts.clock,   actor};
    const RunSteps steps(parts, settings_, actor);
    // References are fetched only once the allowlist has admitted the run.
    auto vars = core::resolve_without_fetching(refs, environment, resolver_parts, project);
    if (!vars) return wrapper::fail(std::move(vars.error()));
    const Gates gates = gates_of(*vars);
    // What the gate weighs, the person approves and the runner starts is one
    // path: the canonical one, not a link the caller may repoint.
    const std::filesystem::path executable = gates.allowlist.empty() ? program : canonical_or_owned(program);

    if (auto refused = steps.check_allowlist(gates, executable, args, run_variables(refs, *vars))) {
        return fail(std::move(*refused));
    }
    if (auto fetched = core::fetch_references(*vars, resolver_parts); !fetched) {
        return wrapper::fail(std::move(fetched.error()));
    }
    if (!gates.confirm.empty()) (void)batch.flush();
    if (auto refused = steps.confirm(gates, refs, *vars, executable, args)) {
        return fail(std::move(*refused));
    }
    std::vector<bool> masked;
    const Command command = steps.command_of(executable, args, *vars, masked);
    (void)batch.flush();
    auto output = parts.runner.run(command);
    if (!output) return std::unexpected(std::move(output.error()));
    return steps.mask(std::move(*output), command, masked);
}

}  // namespace tarnel::wrapper
