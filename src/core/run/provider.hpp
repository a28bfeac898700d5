#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/model/secret.hpp"

namespace tarnel::core {

// Fetches the value a reference URI points at from an outside store.
class SecretProvider {
public:
    virtual ~SecretProvider() = default;
    virtual Result<SecretValue> materialize(std::string_view reference) const = 0;
    // The scheme served, without "://".
    virtual std::string_view scheme() const = 0;
};

// The scheme of a reference, the text before its first "://"; a reference
// without one is malformed.
Result<std::string_view> reference_scheme(std::string_view reference);

// The refusal of a scheme no provider serves.
CoreError unknown_scheme(std::string_view scheme);

// Hands each reference to the provider registered for its scheme; the last
// registered wins. Serves the scheme "*".
class SchemeRouter final : public SecretProvider {
public:
    SchemeRouter with(std::unique_ptr<SecretProvider> provider) &&;

    Result<SecretValue> materialize(std::string_view reference) const override;
    std::string_view scheme() const override { return "*"; }

private:
    std::vector<std::unique_ptr<SecretProvider>> providers_;
};

}  // namespace tarnel::core
