#pragma once

#include <optional>
#include <string_view>

#include "core/model/secret.hpp"

namespace tarnel::core {

// Where `${env:NAME}` values come from.
class EnvSource {
public:
    virtual ~EnvSource() = default;
    // Absent when unset; a variable set to the empty text is present.
    virtual std::optional<SecretValue> get(std::string_view name) const = 0;
};

// The current process's environment; a value that is not UTF-8 reads as unset.
class SystemEnvSource final : public EnvSource {
public:
    std::optional<SecretValue> get(std::string_view name) const override;
};

}  // namespace tarnel::core
