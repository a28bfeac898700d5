#pragma once

#include <array>
#include <cstdint>

#include "core/keys/master_key.hpp"

namespace tarnel::fuzz {

// The key the record seeds are sealed under and the record frame target opens
// with, so that seeds reach the record decoder instead of stopping at the tag.
inline core::MasterKey fuzz_key() {
    std::array<std::uint8_t, core::MasterKey::kSize> bytes{};
    for (std::uint8_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0xa0 + i);
    return core::MasterKey(bytes);
}

}  // namespace tarnel::fuzz
