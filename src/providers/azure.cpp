#include "providers/azure.hpp"

#include <array>

#include "providers/failure.hpp"
#include "providers/reference.hpp"

namespace tarnel::providers {
namespace {

using namespace std::string_view_literals;

constexpr ClientName kAz{.scheme = "azure-kv", .program = "az", .product = "Azure CLI"};
constexpr ReferenceShape kShape{.scheme = "azure-kv", .first_part = "vault", .first_label = "vault name"};

bool is_name_char(char c) { return is_ascii_alnum(c) || c == '-'; }

constexpr std::array kNotSignedIn{"az login"sv,       "please run"sv, "not logged in"sv,
                                  "authentication"sv, "credential"sv, "unauthorized"sv,
                                  "invalid issuer"sv, "akv10032"sv,   "forbidden"sv};
constexpr std::array kVaultUnreachable{"vaultnotfound"sv,     "no such host"sv,          "could not be resolved"sv,
                                       "failed to resolve"sv, "nodename nor servname"sv, "name or service not known"sv,
                                       "getaddrinfo"sv,       "max retries exceeded"sv};
constexpr std::array kSecretMissing{"secretnotfound"sv, "was not found"sv, "not found"sv};
constexpr std::array<PhraseGroup, 3> kGroups{{
    {kNotSignedIn,
     "az is not authenticated or lacks access (run `az login`; check the tenant and the vault access policy)"},
    {kVaultUnreachable, "the vault was not found or is unreachable"},
    {kSecretMissing, "the secret was not found in the vault (check the name and your access)"},
}};

}  // namespace

core::Result<AzureRef> AzureRef::parse(std::string_view reference) {
    auto parts = split_reference(reference, kShape);
    if (!parts) return core::fail(std::move(parts.error()));
    if (parts->secret.find('/') != std::string_view::npos) {
        return core::fail(core::ErrorKind::Provider, "azure-kv reference `" + std::string(reference) +
                                                         "` has an unexpected `/` in the secret name");
    }
    if (auto ok = validate_segment(parts->first, "vault name", reference); !ok) return core::fail(ok.error());
    if (auto ok = validate_segment(parts->secret, "secret name", reference); !ok) return core::fail(ok.error());
    return AzureRef{std::string(parts->first), std::string(parts->secret)};
}

std::vector<std::string> AzureRef::az_args() const {
    return {"keyvault",  "secret",  "show",  "--vault-name", vault_name, "--name",
            secret_name, "--query", "value", "-o",           "tsv"};
}

core::Result<void> validate_segment(std::string_view segment, std::string_view label, std::string_view reference) {
    return check_segment(kAz.scheme, segment, label, reference, is_name_char);
}

core::CoreError classify_failure(const AzureRef& ref, std::optional<std::int32_t> code,
                                 std::span<const std::uint8_t> err) {
    const std::string_view message = message_for(err, kGroups, "the `az` invocation failed");
    return core::CoreError(core::ErrorKind::Provider, "azure-kv: " + std::string(message) + " [vault=`" +
                                                          ref.vault_name + "`, secret=`" + ref.secret_name +
                                                          "`, exit=" + exit_description(code) + "]");
}

core::Result<AzOutput> SystemAzRunner::run(const std::vector<std::string>& args,
                                           std::chrono::milliseconds timeout) const {
    return run_client(kAz, args, timeout);
}

core::Result<core::SecretValue> AzureProvider::materialize(std::string_view reference) const {
    auto ref = AzureRef::parse(reference);
    if (!ref) return core::fail(std::move(ref.error()));
    // Holds what the client printed; wiped over its whole capacity when it goes.
    const auto output = runner_->run(ref->az_args(), timeout_);
    if (!output) return core::fail(output.error());
    if (output->code != 0) return core::fail(classify_failure(*ref, output->code, output->err.expose_secret()));
    core::SecretValue value = printed_value(output->out);
    if (value.empty()) {
        return core::fail(core::ErrorKind::Provider, "azure-kv secret `" + ref->secret_name + "` in vault `" +
                                                         ref->vault_name + "` resolved to an empty value");
    }
    return value;
}

}  // namespace tarnel::providers
