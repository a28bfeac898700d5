#include "core/run/resolver.hpp"

#include <functional>
#include <map>
#include <utility>

#include "core/base/overloaded.hpp"

namespace tarnel::core {

namespace {

std::unexpected<CoreError> refusal(std::string text) { return fail(ErrorKind::EnvRefs, std::move(text)); }

std::string backticked(std::string_view text) { return "`" + std::string(text) + "`"; }

// The vault's own settings, its passphrase above all, live in this process's
// environment; a child that an agent controls must never be handed them,
// whatever EnvSource answers.
bool is_withheld(std::string_view var) noexcept { return var.starts_with("TARNEL_"); }

FoundIn where_found(const VaultLocation& location) {
    return std::visit([](const auto& where) -> FoundIn { return where; }, location);
}

std::string_view scheme_of(std::string_view reference) noexcept {
    const std::size_t separator = reference.find("://");
    return separator == std::string_view::npos ? std::string_view("unknown") : reference.substr(0, separator);
}

// Where a vault-backed value sits, for the variable and its audit event.
struct VaultHit {
    const std::string& name;
    std::string environment;
    std::string canonical;
    VaultLocation location;
    Sensitivity sensitivity;

    ResolvedVar var(SecretValue value, std::optional<std::string> reference = std::nullopt) && {
        ResolvedVar out = ResolvedVar::plain(name, std::move(value), std::move(environment), std::move(canonical));
        out.reference = std::move(reference);
        out.found_in = where_found(location);
        out.sensitivity = sensitivity;
        return out;
    }
};

// One call's state: the borrowed parts and the key, which wipes itself when
// the call ends, on every path.
class Resolution {
public:
    Resolution(std::string_view environment, const ResolverParts& parts, std::optional<std::string_view> project,
               MasterKey key)
        : environment_(environment), parts_(parts), project_(project), key_(std::move(key)) {}

    Result<ResolvedVar> variable(const std::string& name, const Source& source) {
        return std::visit(Overloaded{
                              [&](const source::Literal& literal) -> Result<ResolvedVar> {
                                  return ResolvedVar::plain(name, SecretValue::from_text(literal.value),
                                                            std::string(environment_), std::nullopt);
                              },
                              [&](const source::Env& env) { return from_env(name, env); },
                              [&](const source::Secret& secret) { return from_secret(name, secret); },
                          },
                          source);
    }

private:
    Result<ResolvedVar> from_env(const std::string& name, const source::Env& env) const {
        std::optional<SecretValue> value;
        if (!is_withheld(env.var)) value = parts_.env.get(env.var);
        if (!value && env.fallback) value = SecretValue::from_text(*env.fallback);
        if (!value) {
            return refusal(backticked(name) + ": env var " + backticked(env.var) + " is unset and has no fallback");
        }
        return ResolvedVar::plain(name, std::move(*value), std::string(environment_), std::nullopt);
    }

    Result<ResolvedVar> from_secret(const std::string& name, const source::Secret& secret) {
        Result<Coordinate> parsed = Coordinate::from_str(secret.uri);
        if (!parsed) return fail(std::move(parsed).error());
        const Coordinate coordinate = std::move(*parsed).with_env(environment_);
        const std::string environment(coordinate.environment().name());
        if (environment.empty()) return refusal(backticked(name) + ": a `${ENV}` coordinate needs a non-empty --env");
        // Before the vault is read, so the answer does not tell whether prod holds the secret.
        if (environment == "prod" && secret.fallback) {
            return refusal(backticked(name) + ": a `| fallback` is forbidden for prod (I4c)");
        }
        Result<std::string> canonical = coordinate.canonical_path();
        if (!canonical) return fail(std::move(canonical).error());
        Result<std::optional<ResolvedRecord>> found = parts_.registry.resolve_with_key(coordinate, project_, key_);
        if (!found) return fail(std::move(found).error());
        if (!*found) {
            if (!secret.fallback) {
                return refusal(backticked(name) + ": coordinate " + backticked(coordinate.to_string()) +
                               " did not resolve and has no fallback");
            }
            ResolvedVar var =
                ResolvedVar::plain(name, SecretValue::from_text(*secret.fallback), environment, std::move(*canonical));
            var.from_fallback = true;
            return var;
        }
        ResolvedRecord& hit = **found;
        return from_record(
            VaultHit{name, environment, std::move(*canonical), std::move(hit.location), hit.record.meta.sensitivity},
            coordinate.fragment(), std::move(hit.record.kind));
    }

    Result<ResolvedVar> from_record(VaultHit hit, Fragment fragment, RecordKind kind) {
        return std::visit(
            Overloaded{
                [&](LiteralRecord& literal) -> Result<ResolvedVar> {
                    return std::move(hit).var(std::move(literal.value));
                },
                [&](ReferenceRecord& reference) -> Result<ResolvedVar> {
                    ResolvedVar var = std::move(hit).var(SecretValue(), std::move(reference.ref));
                    var.awaiting_fetch = true;
                    return var;
                },
                [&](KeypairRecord& keypair) -> Result<ResolvedVar> {
                    if (fragment != Fragment::Private) {
                        return ResolvedVar::plain(hit.name, SecretValue::from_text(keypair.public_key),
                                                  std::move(hit.environment), std::nullopt);
                    }
                    if (!keypair.private_key) {
                        return refusal(backticked(hit.name) +
                                       ": coordinate selects `#private` but this is a public-only keypair");
                    }
                    return std::move(hit).var(std::move(*keypair.private_key));
                },
                [&](TotpRecord&) -> Result<ResolvedVar> {
                    return refusal(backticked(hit.name) + ": coordinate " + backticked(hit.canonical) +
                                   " is a TOTP enrollment \xE2\x80\x94 its code is time-varying and single-use, "
                                   "so it cannot be injected via `.env.refs`; produce one on demand with "
                                   "`tarnel code`");
                },
            },
            kind);
    }

    std::string_view environment_;
    const ResolverParts& parts_;
    std::optional<std::string_view> project_;
    MasterKey key_;
};

}  // namespace

ResolvedVar ResolvedVar::plain(std::string_view name, SecretValue value, std::string environment,
                               std::optional<std::string> coordinate) {
    ResolvedVar var{.name = std::string(name),
                    .environment = std::move(environment),
                    .coordinate = std::move(coordinate),
                    .reference = std::nullopt,
                    .found_in = NotFromVault{},
                    .value = std::move(value),
                    .sensitivity = std::nullopt};
    return var;
}

Result<std::vector<ResolvedVar>> resolve_without_fetching(const EnvRefs& refs, std::string_view environment,
                                                          const ResolverParts& parts,
                                                          std::optional<std::string_view> project) {
    // Fetched even for a file without vault coordinates: a broken keyring fails every call alike.
    Result<MasterKey> key = parts.keyring.get_master_key();
    if (!key) return fail(std::move(key).error());
    if (!project && refs.project) project = *refs.project;
    Resolution resolution(environment, parts, project, std::move(*key));
    std::vector<ResolvedVar> vars;
    vars.reserve(refs.vars.size());
    for (const auto& [name, source] : refs.vars) {
        Result<ResolvedVar> var = resolution.variable(name, source);
        if (!var) return fail(std::move(var).error());
        vars.push_back(std::move(*var));
    }
    return vars;
}

Result<void> fetch_references(std::vector<ResolvedVar>& vars, const ResolverParts& parts) {
    // Wiped with the map when the call ends, on every path.
    std::map<std::string, SecretValue, std::less<>> fetched;
    for (ResolvedVar& var : vars) {
        if (!var.awaiting_fetch || !var.reference) continue;
        const std::string& ref = *var.reference;
        if (const auto cached = fetched.find(ref); cached != fetched.end()) {
            var.value = cached->second.clone();
            var.awaiting_fetch = false;
            continue;
        }
        AuditEvent event = AuditEvent(parts.clock.now_rfc3339(), AuditAction::ProviderInvocation,
                                      "scheme:" + std::string(scheme_of(ref)))
                               .at(var.coordinate.value_or(std::string()), var.environment)
                               .by(parts.actor);
        (void)parts.audit.record(event);
        Result<SecretValue> value = parts.provider.materialize(ref);
        if (!value) return fail(std::move(value).error());
        fetched.emplace(ref, value->clone());
        var.value = std::move(*value);
        var.awaiting_fetch = false;
    }
    return {};
}

Result<std::vector<ResolvedVar>> resolve(const EnvRefs& refs, std::string_view environment, const ResolverParts& parts,
                                         std::optional<std::string_view> project) {
    auto vars = resolve_without_fetching(refs, environment, parts, project);
    if (!vars) return vars;
    if (auto done = fetch_references(*vars, parts); !done) return fail(std::move(done.error()));
    return vars;
}

}  // namespace tarnel::core
