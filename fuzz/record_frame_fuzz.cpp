// libFuzzer target for record files: unframe accepts exactly the "TARN",
// version 1 header followed by an envelope the strict reader accepts; what it
// accepts frames back to the same sealed record; and what opens under the fuzz
// key decodes as the strict decoder does and survives sealing, framing and
// opening again unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "core/keys/crypto.hpp"
#include "core/codec/record_json.hpp"
#include "core/codec/sealed_json.hpp"
#include "core/store/store.hpp"
#include "fuzz_key.hpp"

namespace {

using tarnel::core::ErrorKind;
using tarnel::core::MasterKey;
using tarnel::core::Result;
using tarnel::core::SealedRecord;
using tarnel::core::SecretRecord;

constexpr std::string_view kHeader("TARN\x01\x00\x00\x00", tarnel::core::kRecordFrameHeaderBytes);

std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void check(bool holds) {
    if (!holds) std::abort();
}

bool same(const Result<SealedRecord>& a, const Result<SealedRecord>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (a) return *a == *b;
    return a.error() == b.error();
}

// Any other header is refused; after this one the envelope reader decides alone.
void check_header(std::span<const std::uint8_t> input, const Result<SealedRecord>& unframed) {
    const bool headed =
        input.size() >= kHeader.size() && std::ranges::equal(input.first(kHeader.size()), bytes_of(kHeader));
    if (!headed) {
        check(!unframed && unframed.error().kind() == ErrorKind::Serialization);
        return;
    }
    check(same(unframed, tarnel::core::sealed_from_json(input.subspan(kHeader.size()))));
}

void check_reframe(const SealedRecord& sealed) {
    const std::string framed = tarnel::core::frame(sealed);
    check(framed.starts_with(kHeader));
    const Result<SealedRecord> again = tarnel::core::unframe(bytes_of(framed));
    check(again && *again == sealed);
}

// Records compare by their encoding, which covers every member. A record that
// decoded has only valid UTF-8 text, so it always encodes.
std::string encoded(const SecretRecord& record) {
    const auto json = tarnel::core::encode_record(record);
    check(json.has_value());
    return std::string(json->expose_secret_chars());
}

bool same_outcome(const Result<SecretRecord>& a, const Result<SecretRecord>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (a) return encoded(*a) == encoded(*b);
    return a.error() == b.error();
}

// Decryption either fails with the bare Crypto error or hands the plaintext to
// the decoder, whose answer is the strict decoder's.
void check_open(const SealedRecord& sealed, const MasterKey& key) {
    const Result<SecretRecord> opened = tarnel::core::open_sealed(sealed, key);
    const auto plaintext = tarnel::core::open_bytes(sealed, key);
    if (!plaintext) {
        check(!opened && opened.error() == tarnel::core::CoreError::crypto());
        return;
    }
    check(same_outcome(opened, tarnel::core::decode_record_strict(plaintext->expose_secret())));
    if (!opened) return;
    const Result<SealedRecord> resealed = tarnel::core::seal(*opened, key);
    check(resealed.has_value());
    const Result<SealedRecord> unframed = tarnel::core::unframe(bytes_of(tarnel::core::frame(*resealed)));
    check(unframed.has_value());
    const Result<SecretRecord> reopened = tarnel::core::open_sealed(*unframed, key);
    check(reopened && encoded(*reopened) == encoded(*opened));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const MasterKey key = tarnel::fuzz::fuzz_key();
    const std::span<const std::uint8_t> input(data, size);
    const Result<SealedRecord> unframed = tarnel::core::unframe(input);
    check_header(input, unframed);
    if (!unframed) return 0;
    check_reframe(*unframed);
    check_open(*unframed, key);
    return 0;
}
