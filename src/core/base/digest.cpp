#include "core/base/digest.hpp"

#include <blake3.h>
#include <sodium.h>

#include <algorithm>
#include <bit>
#include <cstddef>

namespace tarnel::core {

namespace {

// How far below its caller's frame BLAKE3 may have written, about twice what
// was measured with its x86-64 SIMD kernels: some 1.3 KiB for a single chunk
// (1 KiB of input), then about 1.5 KiB more for each doubling of the chunk
// count, as the subtree recursion deepens.
std::size_t blake3_stack_reach(std::size_t input_size) noexcept {
    constexpr std::size_t kSingleChunk = 4 * 1024;
    constexpr std::size_t kPerDoubling = 3 * 1024;
    const std::size_t chunks = std::max<std::size_t>(1, (input_size + BLAKE3_CHUNK_LEN - 1) / BLAKE3_CHUNK_LEN);
    return kSingleChunk + kPerDoubling * static_cast<std::size_t>(std::bit_width(chunks - 1));
}

}  // namespace

Blake3Digest blake3_digest(std::span<const std::uint8_t> bytes) noexcept {
    blake3_hasher hasher;
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, bytes.data(), bytes.size());
    Blake3Digest digest{};
    blake3_hasher_finalize(&hasher, digest.data(), digest.size());
    // The hasher state holds the input's chaining values; some inputs are secrets.
    sodium_memzero(&hasher, sizeof hasher);
    // BLAKE3 copies message blocks (the last one always) into its own stack
    // frames, which lay just below this point. Space allocated here starts
    // exactly where they started, so zeroing it reaches every one of them.
    const std::size_t reach = blake3_stack_reach(bytes.size());
    sodium_memzero(__builtin_alloca(reach), reach);
    return digest;
}

std::string blake3_hex(std::span<const std::uint8_t> bytes) { return to_lower_hex(blake3_digest(bytes)); }

std::string blake3_hex(std::string_view text) {
    return blake3_hex(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string to_lower_hex(std::span<const std::uint8_t> bytes) {
    std::string hex(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes.data(), bytes.size());
    hex.pop_back();
    return hex;
}

}  // namespace tarnel::core
