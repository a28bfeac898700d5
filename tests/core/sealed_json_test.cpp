#include "core/sealed_json.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
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


// The fast path must accept only what the strict reader reads to the same
// value, so everything below compares the two.

// The input followed by exactly kSealedJsonPadding bytes of `fill` repeated,
// in a buffer of that size so that AddressSanitizer catches reads beyond it.
std::vector<std::uint8_t> padded(std::string_view json, std::string_view fill) {
    std::vector<std::uint8_t> buffer(json.size() + kSealedJsonPadding);
    std::copy(json.begin(), json.end(), buffer.begin());
    for (std::size_t i = 0; i < kSealedJsonPadding; ++i) buffer[json.size() + i] = fill[i % fill.size()];
    return buffer;
}

std::span<const std::uint8_t> input_of(const std::vector<std::uint8_t>& buffer) {
    return std::span(buffer).first(buffer.size() - kSealedJsonPadding);
}

std::string printable(std::string_view json) {
    std::string out;
    for (const char c : json) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            out += "\\x" + std::string(1, "0123456789abcdef"[byte >> 4]) + "0123456789abcdef"[byte & 15];
        }
    }
    return out;
}

// Same value, or the same error kind and text.
void expect_same(const Result<SealedRecord>& got, const Result<SealedRecord>& strict, std::string_view json) {
    ASSERT_EQ(got.has_value(), strict.has_value()) << printable(json);
    if (strict) {
        EXPECT_EQ(*got, *strict) << printable(json);
    } else {
        EXPECT_EQ(got.error().kind(), strict.error().kind()) << printable(json);
        EXPECT_EQ(got.error().detail(), strict.error().detail()) << printable(json);
    }
}

// Whatever follows the input, the fast path accepts only inputs the strict
// reader reads to the same value, and the public readers answer as it does.
void expect_agreement(std::string_view json) {
    // Zeros, as sealed_from_json pads: the strict reader's error offsets can
    // depend on what follows an unfinished input.
    const std::vector<std::uint8_t> zeroed = padded(json, std::string_view("\0", 1));
    const Result<SealedRecord> strict = sealed_from_padded_json_strict(input_of(zeroed));
    expect_same(sealed_from_json(bytes_of(json)), strict, json);
    // Padding that would continue the input, were it read as input.
    for (const std::string_view fill : {" ", "}", "]", "0", ",1", "1,", "]}"}) {
        const std::vector<std::uint8_t> buffer = padded(json, fill);
        if (std::optional<SealedRecord> fast = fast_sealed_from_padded_json(input_of(buffer))) {
            ASSERT_TRUE(strict) << printable(json) << " fill " << fill;
            EXPECT_EQ(*fast, *strict) << printable(json) << " fill " << fill;
        }
    }
    expect_same(sealed_from_padded_json(input_of(zeroed)), strict, json);
}

std::vector<std::uint8_t> random_bytes(std::mt19937& random, std::size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::uint8_t> out(size);
    for (auto& b : out) b = static_cast<std::uint8_t>(byte(random));
    return out;
}

TEST(SealedJsonFastPath, ReadsWhateverOurWriterWrites) {
    std::mt19937 random(20260101);
    std::uniform_int_distribution<std::size_t> length(0, 300);
    for (int i = 0; i < 400; ++i) {
        const std::size_t nonce_size = i < 20 ? static_cast<std::size_t>(i) : length(random);
        const SealedRecord sealed{random_bytes(random, nonce_size), random_bytes(random, length(random))};
        const std::string json = sealed_to_json(sealed);
        const std::vector<std::uint8_t> buffer = padded(json, "}");
        const std::optional<SealedRecord> fast = fast_sealed_from_padded_json(input_of(buffer));
        ASSERT_TRUE(fast) << json;
        EXPECT_EQ(*fast, sealed);
        const Result<SealedRecord> strict = sealed_from_padded_json_strict(input_of(buffer));
        ASSERT_TRUE(strict) << strict.error().display();
        EXPECT_EQ(*strict, sealed);
        expect_agreement(json);
    }
    // Every value, each with every neighbour shape around it.
    SealedRecord all{{}, {}};
    for (int value = 0; value < 256; ++value) all.ciphertext.push_back(static_cast<std::uint8_t>(value));
    all.nonce = all.ciphertext;
    std::reverse(all.nonce.begin(), all.nonce.end());
    const std::vector<std::uint8_t> buffer = padded(sealed_to_json(all), " ");
    const std::optional<SealedRecord> fast = fast_sealed_from_padded_json(input_of(buffer));
    ASSERT_TRUE(fast);
    EXPECT_EQ(*fast, all);
}

TEST(SealedJsonFastPath, AgreesWithTheStrictReaderOnEveryOneByteChange) {
    std::mt19937 random(7);
    const std::vector<SealedRecord> envelopes{
        {{}, {}},
        {{0, 9, 10}, {99, 100, 255}},
        {random_bytes(random, kNonceBytes), random_bytes(random, 24)},
    };
    for (const SealedRecord& sealed : envelopes) {
        const std::string json = sealed_to_json(sealed);
        for (std::size_t at = 0; at <= json.size(); ++at) {
            expect_agreement(std::string_view(json).substr(0, at));
            for (const char inserted : std::string_view(" \n0019,]}[{\"-x\0", 15)) {
                expect_agreement(json.substr(0, at) + inserted + json.substr(at));
            }
            if (at == json.size()) break;
            expect_agreement(json.substr(0, at) + json.substr(at + 1));
            for (int value = 0; value < 256; ++value) {
                std::string changed = json;
                changed[at] = static_cast<char>(value);
                expect_agreement(changed);
            }
        }
    }
}

TEST(SealedJsonFastPath, LeavesEveryOtherFormToTheStrictReader) {
    const std::vector<std::string> others{
        R"({"nonce":[007],"ciphertext":[]})",
        R"({"nonce":[00],"ciphertext":[]})",
        R"({"nonce":[256],"ciphertext":[]})",
        R"({"nonce":[1000],"ciphertext":[]})",
        R"({"nonce":[2550],"ciphertext":[]})",
        R"({"nonce":[-0],"ciphertext":[]})",
        R"({"nonce":[-1],"ciphertext":[]})",
        R"({"nonce":[1.0],"ciphertext":[]})",
        R"({"nonce":[1e2],"ciphertext":[]})",
        R"({"nonce":[1],"ciphertext":[2] })",
        R"( {"nonce":[1],"ciphertext":[2]})",
        R"({"nonce": [1],"ciphertext":[2]})",
        R"({"nonce":[1 ],"ciphertext":[2]})",
        R"({"nonce":[1, 2],"ciphertext":[2]})",
        "{\"nonce\":[1],\"ciphertext\":[2]}\n",
        R"({"ciphertext":[2],"nonce":[1]})",
        R"({"nonce":[1],"nonce":[1],"ciphertext":[2]})",
        R"({"nonce":[1],"ciphertext":[2],"ciphertext":[2]})",
        R"({"nonce":[1],"ciphertext":[2],"extra":0})",
        R"({"nonce":[1],"cipher\u0074ext":[2]})",
        R"({"n\u006fnce":[1],"ciphertext":[2]})",
        R"({"nonce":[1],"ciphertext":[2]}x)",
        R"({"nonce":[1],"ciphertext":[2]}})",
        R"({"nonce":[1],"ciphertext":[2]}{})",
        std::string(R"({"nonce":[1],"ciphertext":[2]})") + '\0',
        R"({"nonce":[1,],"ciphertext":[2]})",
        R"({"nonce":[,1],"ciphertext":[2]})",
        R"({"nonce":[1,,2],"ciphertext":[2]})",
        R"({"nonce":[1],"ciphertext":[2])",
        R"({"nonce":[1],"ciphertext":[2})",
        R"({"nonce":[1],"ciphertext":[2)",
        R"({"nonce":[1],"ciphertext":[)",
        R"({"nonce":[1],"ciphertext":)",
        R"({"nonce":[1])",
        R"({"nonce":[)",
        R"({"nonce":)",
        R"({)",
        "",
    };
    for (const std::string& json : others) {
        const std::vector<std::uint8_t> buffer = padded(json, "}");
        EXPECT_FALSE(fast_sealed_from_padded_json(input_of(buffer))) << json;
        expect_agreement(json);
    }
}

}  // namespace
}  // namespace tarnel::core
