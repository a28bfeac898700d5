#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/run/process.hpp"
#include "core/run/provider.hpp"
#include "core/model/secret.hpp"
#include "providers/client.hpp"

namespace tarnel::providers {

// What `az` printed (out, err) and its exit code.
using AzOutput = core::ProcessOutput;

// azure-kv://<vault>/<secret>
struct AzureRef {
    std::string vault_name;
    std::string secret_name;

    static core::Result<AzureRef> parse(std::string_view reference);
    // The arguments after "az".
    std::vector<std::string> az_args() const;
};

// label is "vault name" or "secret name"; reference is the whole text, for the message.
core::Result<void> validate_segment(std::string_view segment, std::string_view label, std::string_view reference);

// Names the likely cause from the client's standard error, which itself never
// enters the error.
core::CoreError classify_failure(const AzureRef& ref, std::optional<std::int32_t> code,
                                 std::span<const std::uint8_t> err);

class AzRunner {
public:
    virtual ~AzRunner() = default;
    virtual core::Result<AzOutput> run(const std::vector<std::string>& args,
                                       std::chrono::milliseconds timeout) const = 0;
};

// Runs "az" found through PATH.
class SystemAzRunner final : public AzRunner {
public:
    core::Result<AzOutput> run(const std::vector<std::string>& args, std::chrono::milliseconds timeout) const override;
};

// Reads Azure Key Vault secrets through the Azure CLI.
class AzureProvider final : public core::SecretProvider {
public:
    explicit AzureProvider(std::chrono::milliseconds timeout)
        : AzureProvider(timeout, std::make_unique<SystemAzRunner>()) {}
    AzureProvider(std::chrono::milliseconds timeout, std::unique_ptr<AzRunner> runner)
        : timeout_(timeout), runner_(std::move(runner)) {}
    // The runner must outlive the provider.
    AzureProvider(std::chrono::milliseconds timeout, const AzRunner& runner) : timeout_(timeout), runner_(runner) {}

    core::Result<core::SecretValue> materialize(std::string_view reference) const override;
    std::string_view scheme() const override { return "azure-kv"; }

private:
    std::chrono::milliseconds timeout_;
    HeldRunner<AzRunner> runner_;
};

}  // namespace tarnel::providers
