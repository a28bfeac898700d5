#include "core/keys/master_key.hpp"

#include <sodium.h>

#include <algorithm>

namespace tarnel::core {

MasterKey::MasterKey(std::span<const std::uint8_t, kSize> bytes) noexcept {
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
}

MasterKey::MasterKey(MasterKey&& other) noexcept : bytes_(other.bytes_) { other.wipe(); }

MasterKey& MasterKey::operator=(MasterKey&& other) noexcept {
    if (this != &other) {
        bytes_ = other.bytes_;
        other.wipe();
    }
    return *this;
}

MasterKey::~MasterKey() { wipe(); }

void MasterKey::wipe() noexcept { sodium_memzero(bytes_.data(), bytes_.size()); }

}  // namespace tarnel::core
