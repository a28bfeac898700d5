#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/base/error.hpp"
#include "core/model/secret.hpp"

namespace tarnel::core {

// `length` characters drawn uniformly from A-Z, a-z and 0-9 with the
// operating system's random source (through libsodium).
Result<SecretValue> random_alphanumeric(std::uint64_t length);

// `bytes` random bytes as lower-case hexadecimal, for nonces that are not
// secret (they make a proof unique).
Result<std::string> random_hex(std::size_t bytes);

}  // namespace tarnel::core
