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

// What `aws` printed (out, err) and its exit code.
using AwsOutput = core::ProcessOutput;

// aws-sm://<region>/<secret>; the secret name may hold further "/".
struct AwsRef {
    std::string region;
    std::string secret_name;

    static core::Result<AwsRef> parse(std::string_view reference);
    // The arguments after "aws".
    std::vector<std::string> aws_args() const;
};

// Names the likely cause from the client's standard error, which itself never
// enters the error.
core::CoreError classify_failure(const AwsRef& ref, std::optional<std::int32_t> code,
                                 std::span<const std::uint8_t> err);

class AwsRunner {
public:
    virtual ~AwsRunner() = default;
    virtual core::Result<AwsOutput> run(const std::vector<std::string>& args,
                                        std::chrono::milliseconds timeout) const = 0;
};

// Runs "aws" found through PATH.
class SystemAwsRunner final : public AwsRunner {
public:
    core::Result<AwsOutput> run(const std::vector<std::string>& args, std::chrono::milliseconds timeout) const override;
};

// Reads AWS Secrets Manager secrets through the AWS CLI.
class AwsProvider final : public core::SecretProvider {
public:
    explicit AwsProvider(std::chrono::milliseconds timeout)
        : AwsProvider(timeout, std::make_unique<SystemAwsRunner>()) {}
    AwsProvider(std::chrono::milliseconds timeout, std::unique_ptr<AwsRunner> runner)
        : timeout_(timeout), runner_(std::move(runner)) {}
    // The runner must outlive the provider.
    AwsProvider(std::chrono::milliseconds timeout, const AwsRunner& runner) : timeout_(timeout), runner_(runner) {}

    core::Result<core::SecretValue> materialize(std::string_view reference) const override;
    std::string_view scheme() const override { return "aws-sm"; }

private:
    std::chrono::milliseconds timeout_;
    HeldRunner<AwsRunner> runner_;
};

}  // namespace tarnel::providers
