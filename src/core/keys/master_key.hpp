#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnel::core {

// The vault's 32-byte key. Moved, not shared: copies are explicit, and every
// instance zeroes its bytes when destroyed.
class MasterKey {
public:
    static constexpr std::size_t kSize = 32;

    explicit MasterKey(std::span<const std::uint8_t, kSize> bytes) noexcept;
    MasterKey(MasterKey&& other) noexcept;
    MasterKey& operator=(MasterKey&& other) noexcept;
    MasterKey(const MasterKey&) = delete;
    MasterKey& operator=(const MasterKey&) = delete;
    ~MasterKey();

    MasterKey clone() const noexcept { return MasterKey(expose_secret()); }
    std::span<const std::uint8_t, kSize> expose_secret() const noexcept { return bytes_; }

private:
    void wipe() noexcept;
    std::array<std::uint8_t, kSize> bytes_;
};

}  // namespace tarnel::core
