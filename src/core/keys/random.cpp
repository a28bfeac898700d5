#include "core/keys/random.hpp"

#include <sodium.h>

#include <array>
#include <span>
#include <string>
#include <string_view>

#include "core/keys/sodium.hpp"

namespace tarnel::core {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
static_assert(kAlphabet.size() == 62);

}  // namespace

// Uniform over the alphabet: a draw whose top six bits would index past it
// (62 or 63, i.e. the top five bits all set) is thrown away, never folded.
Result<SecretValue> random_alphanumeric(std::uint64_t length) {
    if (!sodium_ready()) return fail(CoreError::crypto());
    SecretValue value = SecretValue::zeroed(length);
    std::span<std::uint8_t> out = value.expose_secret_mut();
    std::array<std::uint32_t, 64> draws{};
    std::size_t filled = 0;
    while (filled < out.size()) {
        ::randombytes_buf(draws.data(), sizeof draws);
        for (const std::uint32_t draw : draws) {
            if ((draw >> 27) == 31) continue;
            out[filled++] = static_cast<std::uint8_t>(kAlphabet[draw >> 26]);
            if (filled == out.size()) break;
        }
    }
    // The draws determine the value, so they are as secret as it is.
    ::sodium_memzero(draws.data(), sizeof draws);
    return value;
}

Result<std::string> random_hex(std::size_t bytes) {
    if (!sodium_ready()) return fail(CoreError::crypto());
    std::string raw(bytes, '\0');
    ::randombytes_buf(raw.data(), raw.size());
    std::string hex(2 * bytes + 1, '\0');
    ::sodium_bin2hex(hex.data(), hex.size(), reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
    hex.pop_back();
    return hex;
}

}  // namespace tarnel::core
