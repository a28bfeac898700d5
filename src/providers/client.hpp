#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/run/process.hpp"
#include "core/model/secret.hpp"

namespace tarnel::providers {

// How one cloud client is named in its provider's error texts.
struct ClientName {
    std::string_view scheme;   // "azure-kv"
    std::string_view program;  // "az", found through PATH
    std::string_view product;  // "Azure CLI"
};

// Runs the client with standard input from /dev/null (it must not read the
// caller's input, which may be a protocol stream) and the caller's environment
// without the vault's TARNEL_ settings; both outputs are captured.
core::Result<core::ProcessOutput> run_client(const ClientName& client, const std::vector<std::string>& args,
                                             std::chrono::milliseconds timeout);

// Removes one final "\n", together with a "\r" right before it.
std::string_view trim_one_trailing_newline(std::string_view text);

// The value a client printed: its standard output less the line end it adds.
core::SecretValue printed_value(const core::SecretValue& out);

// A provider's runner: one it owns, or one the caller keeps alive for as
// long as the provider.
template <class Runner>
class HeldRunner {
public:
    explicit HeldRunner(std::unique_ptr<Runner> owned) : owned_(std::move(owned)), runner_(owned_.get()) {}
    explicit HeldRunner(const Runner& borrowed) : runner_(&borrowed) {}

    const Runner& operator*() const noexcept { return *runner_; }
    const Runner* operator->() const noexcept { return runner_; }

private:
    std::unique_ptr<Runner> owned_;
    const Runner* runner_;
};

}  // namespace tarnel::providers
