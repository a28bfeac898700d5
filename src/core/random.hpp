#pragma once

#include <cstdint>

#include "core/error.hpp"
#include "core/secret.hpp"

namespace tarnel::core {

// `length` characters drawn uniformly from A-Z, a-z and 0-9 with the
// operating system's random source (through libsodium).
Result<SecretValue> random_alphanumeric(std::uint64_t length);

}  // namespace tarnel::core
