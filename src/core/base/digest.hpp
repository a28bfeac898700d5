#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tarnel::core {

using Blake3Digest = std::array<std::uint8_t, 32>;

// Unkeyed BLAKE3 with the default 32-byte output.
Blake3Digest blake3_digest(std::span<const std::uint8_t> bytes) noexcept;
// The digest as 64 lower-case hexadecimal characters.
std::string blake3_hex(std::span<const std::uint8_t> bytes);
std::string blake3_hex(std::string_view text);

std::string to_lower_hex(std::span<const std::uint8_t> bytes);

}  // namespace tarnel::core
