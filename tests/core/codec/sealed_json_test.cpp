// The strict reader's rules for the envelope; that the fast path reads exactly
// what it reads is the sealed_json fuzz target's work.

#include "core/codec/sealed_json.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

TEST(SealedJson, WritesCompactMembersInOrder) {
    const SealedRecord sealed{{0, 1, 255}, {16, 200}};
    EXPECT_EQ(sealed_to_json(sealed), R"({"nonce":[0,1,255],"ciphertext":[16,200]})");
    Result<SealedRecord> back = sealed_from_json(bytes_of(sealed_to_json(sealed)));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, sealed);

    std::string buffer = sealed_to_json(sealed);
    const std::size_t size = buffer.size();
    buffer.append(kSealedJsonPadding, 'x');  // whatever follows the input is not read as input
    Result<SealedRecord> padded = sealed_from_padded_json(bytes_of(std::string_view(buffer).substr(0, size)));
    ASSERT_TRUE(padded) << padded.error().display();
    EXPECT_EQ(*padded, sealed);
}

TEST(SealedJson, ReadsStrictly) {
    const auto read = [](std::string_view json) { return sealed_from_json(bytes_of(json)); };
    const auto error_of = [&](std::string_view json) {
        Result<SealedRecord> result = read(json);
        EXPECT_FALSE(result) << json;
        if (result) return std::string();
        EXPECT_EQ(result.error().kind(), ErrorKind::Serialization) << json;
        return result.error().detail();
    };

    Result<SealedRecord> spaced = read(" \n{ \"ciphertext\" : [ 9 ] , \"nonce\":[1], \"extra\":{\"a\":[1,{}]} }\t\n");
    ASSERT_TRUE(spaced) << spaced.error().display();
    EXPECT_EQ(spaced->nonce, std::vector<std::uint8_t>{1});
    EXPECT_EQ(spaced->ciphertext, std::vector<std::uint8_t>{9});

    EXPECT_EQ(error_of(R"({"nonce":[1],"nonc\u0065":[2],"ciphertext":[]})"), "duplicate field `nonce`");
    EXPECT_EQ(error_of(R"({"nonce":[1]})"), "missing field `ciphertext`");
    EXPECT_EQ(error_of(R"({"ciphertext":[1]})"), "missing field `nonce`");
    EXPECT_EQ(error_of(R"({"nonce":[256],"ciphertext":[]})"), "invalid value: integer `256`, expected u8");
    EXPECT_EQ(error_of(R"({"nonce":[-1],"ciphertext":[]})"), "invalid value: integer `-1`, expected u8");
    error_of(R"({"nonce":[1.0],"ciphertext":[]})");
    error_of(R"({"nonce":["1"],"ciphertext":[]})");
    error_of(R"({"nonce":[[1]],"ciphertext":[]})");
    error_of(R"({"nonce":"AQ==","ciphertext":[]})");
    error_of(R"({"nonce":[1],"ciphertext":[]} {})");
    error_of(R"({"nonce":[1],"ciphertext":[]}x)");
    error_of(std::string(R"({"nonce":[1],"ciphertext":[]})") + '\0' + 'x');
    error_of(R"([1,2])");
    error_of("");
}

TEST(SealedJson, SkippedMembersMustBeWellFormedToo) {
    const auto rejected = [](std::string_view extra) {
        const std::string json = R"({"extra":)" + std::string(extra) + R"(,"nonce":[1],"ciphertext":[]})";
        Result<SealedRecord> result = sealed_from_json(bytes_of(json));
        EXPECT_FALSE(result) << json;
        if (!result) EXPECT_EQ(result.error().kind(), ErrorKind::Serialization) << json;
    };
    for (std::string_view extra : {"[1 2]", "[1,]", "tru", "nul", "01", "1.", R"("\x")", R"("\ud800")", "{\"a\"}",
                                   "{\"a\":1,}", "\"\xff\""}) {
        rejected(extra);
    }
    rejected(std::string(200, '[') + std::string(200, ']'));
    EXPECT_TRUE(sealed_from_json(
        bytes_of(R"({"extra":{"a":[true,false,null,-1.5e3,"\u00e9"]},"nonce":[1],"ciphertext":[]})")));
}

TEST(SealedJson, ByteArraysTakeOnlyIntegersUpTo255) {
    const auto read = [](std::string_view bytes) {
        return sealed_from_json(bytes_of(R"({"nonce":[],"ciphertext":)" + std::string(bytes) + "}"));
    };
    Result<SealedRecord> edges = read("[0,255,-0]");
    ASSERT_TRUE(edges) << edges.error().display();
    EXPECT_EQ(edges->ciphertext, (std::vector<std::uint8_t>{0, 255, 0}));
    EXPECT_EQ(read("[1e2]").error().detail(), "invalid type: floating point, expected u8");
    EXPECT_EQ(read("[18446744073709551616]").error().detail(), "invalid type: floating point, expected u8");
    EXPECT_EQ(read("[true]").error().detail(), "invalid type: boolean `true`, expected u8");
    EXPECT_EQ(read("[null]").error().detail(), "invalid type: null, expected u8");
    EXPECT_EQ(read("[{}]").error().detail(), "invalid type: map, expected u8");
    EXPECT_EQ(read("{}").error().detail(), "invalid type: map, expected a sequence of bytes");
    EXPECT_FALSE(read("[1,,2]"));
    EXPECT_FALSE(read("[01]"));
}

}  // namespace
}  // namespace tarnel::core
