#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/oversight/audit.hpp"
#include "core/oversight/clock.hpp"
#include "core/run/env_source.hpp"
#include "core/run/envrefs.hpp"
#include "core/base/error.hpp"
#include "core/keys/keyring.hpp"
#include "core/run/provider.hpp"
#include "core/store/registry.hpp"
#include "core/model/secret.hpp"
#include "core/model/sensitivity.hpp"

namespace tarnel::core {

struct NotFromVault {
    friend bool operator==(const NotFromVault&, const NotFromVault&) = default;
};
using FoundIn = std::variant<NotFromVault, GlobalVault, ProjectVault>;

// One variable ready for injection, with what the gates, the audit and the
// masking need to know about it.
struct ResolvedVar {
    std::string name;
    std::string environment;
    std::optional<std::string> coordinate;  // canonical path; only for vault-backed values
    std::optional<std::string> reference;   // the reference text the value was fetched through
    FoundIn found_in = NotFromVault{};
    SecretValue value;
    std::optional<Sensitivity> sensitivity;
    bool awaiting_fetch = false;  // a reference whose value fetch_references has yet to fetch
    bool from_fallback = false;   // the vault lacks the record: the value is the caller's `| fallback` text

    static ResolvedVar plain(std::string_view name, SecretValue value, std::string environment,
                             std::optional<std::string> coordinate);
};

// What resolution borrows for one call.
struct ResolverParts {
    const Registry& registry;
    const Keyring& keyring;
    const EnvSource& env;
    const SecretProvider& provider;
    const AuditSink& audit;
    const Clock& clock;
    Actor actor;
};

// One value per variable, in file order, or the first failure (nothing
// partial). `project` overrides the file's `project =` line.
Result<std::vector<ResolvedVar>> resolve(const EnvRefs& refs, std::string_view environment, const ResolverParts& parts,
                                         std::optional<std::string_view> project);

// The same in two steps, for a caller that gates on what the vault says
// before any provider is asked: every variable but the values of references
// (left awaiting_fetch, with their sensitivity known), then those values.
Result<std::vector<ResolvedVar>> resolve_without_fetching(const EnvRefs& refs, std::string_view environment,
                                                          const ResolverParts& parts,
                                                          std::optional<std::string_view> project);
// Each distinct reference reaches its provider, and the audit log, once, in
// file order; the first failure stops it.
Result<void> fetch_references(std::vector<ResolvedVar>& vars, const ResolverParts& parts);

}  // namespace tarnel::core
