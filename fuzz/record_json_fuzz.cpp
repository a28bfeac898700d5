// libFuzzer target: on any input decode_record answers exactly as
// decode_record_strict does, the same record or the same error text, so its
// shortcut for byte arrays in our writer's form never changes an outcome. The
// input is read where libFuzzer put it, with nothing readable after it, so
// AddressSanitizer sees any read past its end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "core/codec/record_json.hpp"

namespace {

using tarnel::core::Result;
using tarnel::core::SecretRecord;

// A record as our writer writes it, which covers every member, or the error.
std::string outcome(const Result<SecretRecord>& result) {
    if (!result) return "error " + result.error().display();
    auto json = tarnel::core::encode_record(*result);
    return json ? "record " + std::string(json->expose_secret_chars()) : "unwritable " + json.error().display();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> json(data, size);
    if (outcome(tarnel::core::decode_record(json)) != outcome(tarnel::core::decode_record_strict(json))) std::abort();
    return 0;
}
