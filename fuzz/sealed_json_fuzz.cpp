// libFuzzer target: on any input the envelope's fast path either gives up or
// reads exactly what the strict reader reads, whatever follows the input, and
// the public readers answer as the strict one does, value or error text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/codec/sealed_json.hpp"

namespace {

using tarnel::core::Result;
using tarnel::core::SealedRecord;

bool same(const Result<SealedRecord>& a, const Result<SealedRecord>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (a) return *a == *b;
    return a.error().kind() == b.error().kind() && a.error().detail() == b.error().detail();
}

// Exactly the padding the readers may touch, so AddressSanitizer sees any read beyond it.
std::vector<std::uint8_t> padded(std::span<const std::uint8_t> input, std::uint8_t fill) {
    std::vector<std::uint8_t> buffer(input.size() + tarnel::core::kSealedJsonPadding, fill);
    std::copy(input.begin(), input.end(), buffer.begin());
    return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    // Zeros, as sealed_from_json pads: the strict reader's error offsets can
    // depend on what follows an unfinished input.
    const std::vector<std::uint8_t> zeroed = padded(input, 0);
    const std::span<const std::uint8_t> json = std::span(zeroed).first(size);
    const Result<SealedRecord> strict = tarnel::core::sealed_from_padded_json_strict(json);
    if (!same(tarnel::core::sealed_from_padded_json(json), strict)) std::abort();
    if (!same(tarnel::core::sealed_from_json(input), strict)) std::abort();
    // Padding that would extend the input, were it read as input.
    for (const char fill : std::string_view("\0]},1", 5)) {
        const std::vector<std::uint8_t> buffer = padded(input, static_cast<std::uint8_t>(fill));
        const std::optional<SealedRecord> fast =
            tarnel::core::fast_sealed_from_padded_json(std::span(buffer).first(size));
        if (fast && (!strict || *fast != *strict)) std::abort();
    }
    return 0;
}
