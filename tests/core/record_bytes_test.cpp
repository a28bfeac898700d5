// decode_record reads byte arrays in encode_record's exact form in one run;
// these check it against decode_record_strict, which reads every array
// element by element, on our writer's output and on damaged copies of it.
#include "core/record_json.hpp"

#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::core {
namespace {

using tarnel::testing::bytes_of;

RecordMetadata meta() {
    return {.sensitivity = Sensitivity::High, .revealable = false, .environment = "prod", .component = "api",
            .key = "k", .description = "d", .created = "2024-05-01T10:00:00Z", .updated = "2024-05-02T11:00:00Z"};
}

std::string encode_text(const SecretRecord& record) {
    auto json = encode_record(record);
    EXPECT_TRUE(json.has_value()) << json.error().display();
    return json ? std::string(json->expose_secret_chars()) : std::string();
}

// A decode result as text: the record written out again, or the error.
std::string outcome(const Result<SecretRecord>& result) {
    if (!result) return "error " + result.error().display();
    auto json = encode_record(*result);
    return json ? "record " + std::string(json->expose_secret_chars()) : "unwritable " + json.error().display();
}

std::string decoded(std::string_view json) { return outcome(decode_record(bytes_of(json))); }
std::string decoded_strictly(std::string_view json) { return outcome(decode_record_strict(bytes_of(json))); }

SecretValue random_value(std::mt19937& random, std::size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    SecretValue value = SecretValue::zeroed(size);
    for (auto& b : value.expose_secret_mut()) b = static_cast<std::uint8_t>(byte(random));
    return value;
}

TEST(RecordBytes, OurOwnArraysDecodeToWhatWasWritten) {
    std::mt19937 random(20240501);
    std::vector<SecretRecord> records;
    for (std::size_t size = 0; size <= 300; ++size) {
        records.push_back({LiteralRecord{random_value(random, size)}, meta()});
    }
    SecretValue every_byte = SecretValue::zeroed(256);
    for (std::size_t b = 0; b < 256; ++b) every_byte.expose_secret_mut()[b] = static_cast<std::uint8_t>(b);
    records.push_back({TotpRecord{every_byte.clone(), TotpAlgorithm::Sha256, 8, 60}, meta()});
    records.push_back({KeypairRecord{KeyAlgorithm::Ed25519, std::move(every_byte), "pub"}, meta()});

    for (const SecretRecord& record : records) {
        const std::string json = encode_text(record);
        EXPECT_EQ(decoded(json), "record " + json);
        EXPECT_EQ(decoded_strictly(json), "record " + json);
    }
}

// Every single-byte deletion, insertion and replacement, and every truncation.
std::vector<std::string> damaged_copies(std::string_view json) {
    static constexpr std::string_view kBytes("09,] -\"a\0", 9);
    std::vector<std::string> copies;
    for (std::size_t at = 0; at <= json.size(); ++at) {
        copies.emplace_back(json.substr(0, at));
        for (const char c : kBytes) {
            copies.push_back(std::string(json.substr(0, at)) + c + std::string(json.substr(at)));
        }
        if (at == json.size()) break;
        copies.push_back(std::string(json.substr(0, at)) + std::string(json.substr(at + 1)));
        for (const char c : kBytes) {
            std::string replaced(json);
            replaced[at] = c;
            copies.push_back(std::move(replaced));
        }
    }
    return copies;
}

void expect_same_outcomes(std::string_view json) {
    for (const std::string& copy : damaged_copies(json)) {
        ASSERT_EQ(decoded(copy), decoded_strictly(copy)) << "from " << json;
    }
}

TEST(RecordBytes, DamagedRecordsDecodeAsElementByElement) {
    const auto bytes = [](std::initializer_list<std::uint8_t> list) {
        return SecretValue(std::span<const std::uint8_t>(list.begin(), list.size()));
    };
    expect_same_outcomes(encode_text({LiteralRecord{bytes({0, 9, 10, 99, 100, 199, 200, 255, 1})}, meta()}));
    expect_same_outcomes(encode_text({LiteralRecord{bytes({7})}, meta()}));
    expect_same_outcomes(encode_text({LiteralRecord{SecretValue()}, meta()}));
    expect_same_outcomes(encode_text({TotpRecord{bytes({25, 250, 0}), TotpAlgorithm::Sha1, 6, 30}, meta()}));
    expect_same_outcomes(
        encode_text({KeypairRecord{KeyAlgorithm::Rsa, bytes({128, 64, 32}), "public key text"}, meta()}));
}

// Byte members read before "mode" says which of them count, or after it
// for another kind, keep their failures as element-by-element reading does.
TEST(RecordBytes, MembersOfOtherKindsDecodeAsElementByElement) {
    constexpr std::string_view kCommon =
        R"("sensitivity":"low","environment":"e","component":"c","key":"k","created":"t","updated":"u"})";
    for (std::string_view head : {
             R"({"value":[1,2,3],"seed":[4,256],"private":[5],"mode":"literal",)",
             R"({"seed":[1,2],"value":[3,4],"mode":"totp","digits":6,"period":30,)",
             R"({"mode":"keypair","value":[1,2],"private":[3,4],"seed":[5,6],"algorithm":"rsa","public":"p",)",
             R"({"value":[],"value":[1,2],"mode":"literal",)",
             R"({"x":[1,2,3],"value":[1,2,3],"mode":"literal",)",
         }) {
        expect_same_outcomes(std::string(head) + std::string(kCommon));
    }
}

}  // namespace
}  // namespace tarnel::core
