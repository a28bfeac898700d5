#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tarnel::core {

// The first 8 lower-case hex characters of the unkeyed BLAKE3 digest. Not keyed
// with the master key on purpose: equal values compare equal across vaults.
std::string fingerprint(std::span<const std::uint8_t> bytes);

}  // namespace tarnel::core
