#include "core/codec/record_json.hpp"

#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tarnel::core {
namespace {

using tarnel::testing::bytes_of;

Result<SecretRecord> decode(std::string_view json) { return decode_record(bytes_of(json)); }

std::string encode_text(const SecretRecord& record) {
    auto json = encode_record(record);
    EXPECT_TRUE(json.has_value()) << json.error().display();
    return json ? std::string(json->expose_secret_chars()) : std::string();
}

std::string decode_error(std::string_view json) {
    auto record = decode(json);
    if (record) return "<decoded>";
    EXPECT_EQ(record.error().kind(), ErrorKind::Serialization);
    return record.error().detail();
}

RecordMetadata meta() {
    return {.sensitivity = Sensitivity::Medium, .revealable = true, .environment = "dev", .component = "app",
            .key = "token", .description = std::nullopt, .created = "2024-05-01T10:00:00Z",
            .updated = "2024-05-02T11:00:00Z"};
}

constexpr std::string_view kCommon =
    R"("sensitivity":"medium","revealable":true,"environment":"dev","component":"app","key":"token",)"
    R"("created":"2024-05-01T10:00:00Z","updated":"2024-05-02T11:00:00Z")";

std::string with_common(std::string_view kind_members) {
    return "{" + std::string(kind_members) + "," + std::string(kCommon) + "}";
}

TEST(RecordEncode, WritesMembersInFixedOrderWithoutAbsentOnes) {
    SecretRecord literal{LiteralRecord{SecretValue::from_text("abc")}, meta()};
    EXPECT_EQ(encode_text(literal), with_common(R"("mode":"literal","value":[97,98,99])"));

    const std::string_view seed("\x00\xff", 2);
    SecretRecord totp{TotpRecord{SecretValue::from_text(seed), TotpAlgorithm::Sha256, 8, 60}, meta()};
    EXPECT_EQ(encode_text(totp),
              with_common(R"("mode":"totp","seed":[0,255],"algorithm":"sha256","digits":8,"period":60)"));

    SecretRecord keypair{KeypairRecord{KeyAlgorithm::Rsa, std::nullopt, "ssh-rsa AAAA"}, meta()};
    keypair.meta.description = "deploy key";
    keypair.meta.sensitivity = Sensitivity::InjectOnly;
    keypair.meta.revealable = false;
    EXPECT_EQ(encode_text(keypair),
              R"({"mode":"keypair","algorithm":"rsa","public":"ssh-rsa AAAA","sensitivity":"inject-only",)"
              R"("revealable":false,"environment":"dev","component":"app","key":"token",)"
              R"("description":"deploy key","created":"2024-05-01T10:00:00Z","updated":"2024-05-02T11:00:00Z"})");

    EXPECT_EQ(literal.canonical_path(), "dev/app/token");
    EXPECT_EQ(totp.tag_word(), "totp");
}

TEST(RecordEncode, EscapesTextLikeStandardCompactJson) {
    SecretRecord record{ReferenceRecord{"aws-sm://eu/x"}, meta()};
    record.meta.description = "q\"b\\s/\x01\x0b\x1f\b\t\n\f\r\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    const std::string json = encode_text(record);
    EXPECT_NE(json.find(R"("description":"q\"b\\s/\u0001\u000b\u001f\b\t\n\f\r)"
                        "\x7f \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""),
              std::string::npos)
        << json;
    auto back = decode(json);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(back->meta.description, record.meta.description);
    EXPECT_EQ(encode_text(*back), json);
}

TEST(RecordEncode, RefusesTextThatIsNotUtf8) {
    for (std::string bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "a\xe2\x82"}) {
        SecretRecord record{LiteralRecord{}, meta()};
        record.meta.component = bad;
        auto json = encode_record(record);
        ASSERT_FALSE(json);
        EXPECT_EQ(json.error().display(), "record serialization failed: text member `component` is not valid UTF-8");
    }
}

TEST(RecordRoundTrip, KeepsEveryKindIntact) {
    std::string all_bytes;
    for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
    SecretRecord literal{LiteralRecord{SecretValue::from_text(all_bytes)}, meta()};
    SecretRecord with_private{KeypairRecord{KeyAlgorithm::Ed25519, SecretValue::from_text("\x80priv"), "pub"}, meta()};
    SecretRecord public_only{KeypairRecord{KeyAlgorithm::Rsa, std::nullopt, "pub"}, meta()};
    SecretRecord totp{TotpRecord{SecretValue::from_text("seed"), TotpAlgorithm::Sha512, 6, 30}, meta()};
    SecretRecord reference{ReferenceRecord{"azure-kv://vault/name"}, meta()};

    for (const SecretRecord* record : {&literal, &with_private, &public_only, &totp, &reference}) {
        const std::string json = encode_text(*record);
        auto back = decode(json);
        ASSERT_TRUE(back) << back.error().display();
        EXPECT_EQ(back->kind.index(), record->kind.index());
        EXPECT_EQ(encode_text(*back), json);
        EXPECT_EQ(encode_text(record->clone()), json);
    }
    EXPECT_TRUE(std::get<LiteralRecord>(decode(encode_text(literal))->kind).value.same_bytes(
        std::get<LiteralRecord>(literal.kind).value));
    EXPECT_EQ(encode_text(public_only).find("\"private\""), std::string::npos);
    EXPECT_FALSE(std::get<KeypairRecord>(decode(encode_text(public_only))->kind).private_key);
    auto pair = decode(encode_text(with_private));
    const auto& private_key = std::get<KeypairRecord>(pair->kind).private_key;
    ASSERT_TRUE(private_key);
    EXPECT_EQ(private_key->expose_secret_chars(), "\x80priv");
}

TEST(RecordDecode, AppliesDefaultsForOptionalMembers) {
    auto totp = decode(R"({"mode":"totp","seed":[1],"digits":6,"period":30,"sensitivity":"low",)"
                       R"("environment":"e","component":"c","key":"k","created":"t","updated":"u"})");
    ASSERT_TRUE(totp) << totp.error().display();
    EXPECT_EQ(std::get<TotpRecord>(totp->kind).algorithm, TotpAlgorithm::Sha1);
    EXPECT_FALSE(totp->meta.revealable);
    EXPECT_FALSE(totp->meta.description);
    EXPECT_EQ(totp->meta.sensitivity, Sensitivity::Low);

    auto nulls = decode(with_common(R"("mode":"keypair","algorithm":"ed25519","private":null,"public":"p",)"
                                    R"("description":null)"));
    ASSERT_TRUE(nulls) << nulls.error().display();
    EXPECT_FALSE(std::get<KeypairRecord>(nulls->kind).private_key);
    EXPECT_FALSE(nulls->meta.description);
}

TEST(RecordDecode, IgnoresUnknownMembersAndOtherKindsMembers) {
    const std::string json = R"({"note":{"a":[1,{"b":null}],"c":"x"},"ref":5,"ref":[],"seed":"s","digits":900,)"
                             R"("mode":"literal","value":[1,2],"note":[[]],"algorithm":{},)" +
                             std::string(kCommon) + "}";
    auto record = decode(json);
    ASSERT_TRUE(record) << record.error().display();
    EXPECT_EQ(encode_text(*record), with_common(R"("mode":"literal","value":[1,2])"));
}

TEST(RecordDecode, ReadsModeWhereverItIs) {
    auto last = decode(R"({"value":[7],)" + std::string(kCommon) + R"(,"mode":"literal"})");
    ASSERT_TRUE(last) << last.error().display();
    EXPECT_EQ(std::get<LiteralRecord>(last->kind).value.expose_secret_chars(), "\x07");
    // A fault seen before "mode" counts only if the member belongs to that kind.
    EXPECT_EQ(decode_error(R"({"value":[300],)" + std::string(kCommon) + R"(,"mode":"literal"})"),
              "invalid value: integer `300`, expected u8");
    EXPECT_EQ(decode_error(R"({"algorithm":"sha1","seed":[1],"digits":6,"period":30,)" + std::string(kCommon) +
                           R"(,"mode":"keypair","public":"p"})"),
              "unknown variant `sha1`, expected one of `ed25519`, `rsa`");
}

TEST(RecordDecode, RejectsUnknownWordsWithTheAcceptedOnes) {
    EXPECT_EQ(decode_error(with_common(R"("mode":"pubkey","value":[])")),
              "unknown variant `pubkey`, expected one of `literal`, `reference`, `keypair`, `totp`");
    EXPECT_EQ(decode_error(with_common(R"("mode":"totp","seed":[],"algorithm":"SHA1","digits":6,"period":30)")),
              "unknown variant `SHA1`, expected one of `sha1`, `sha256`, `sha512`");
    EXPECT_EQ(decode_error(with_common(R"("mode":"keypair","algorithm":"RSA","public":"p")")),
              "unknown variant `RSA`, expected one of `ed25519`, `rsa`");
    std::string low = with_common(R"("mode":"literal","value":[])");
    low.replace(low.find("medium"), 6, "inject_only");
    EXPECT_EQ(decode_error(low),
              "unknown variant `inject_only`, expected one of `low`, `medium`, `high`, `inject-only`");
}

TEST(RecordDecode, RejectsDuplicatesAfterUnescaping) {
    const std::string literal = with_common(R"("mode":"literal","value":[1])");
    EXPECT_EQ(decode_error(literal.substr(0, literal.size() - 1) + R"(,"key":"again"})"), "duplicate field `key`");
    EXPECT_EQ(decode_error(literal.substr(0, literal.size() - 1) + R"(,"k\u0065y":"again"})"),
              "duplicate field `key`");
    EXPECT_EQ(decode_error(R"({"value":[],"value":[],"mode":"literal"})"), "duplicate field `value`");
    EXPECT_EQ(decode_error(R"({"mode":"literal","mode":"literal"})"), "duplicate field `mode`");
}

TEST(RecordDecode, RejectsMissingMembers) {
    EXPECT_EQ(decode_error("{}"), "missing field `mode`");
    EXPECT_EQ(decode_error(R"({"value":[1],"sensitivity":"low"})"), "missing field `mode`");
    EXPECT_EQ(decode_error(with_common(R"("mode":"literal")")), "missing field `value`");
    EXPECT_EQ(decode_error(with_common(R"("mode":"reference")")), "missing field `ref`");
    EXPECT_EQ(decode_error(with_common(R"("mode":"keypair","algorithm":"rsa")")), "missing field `public`");
    EXPECT_EQ(decode_error(with_common(R"("mode":"totp","seed":[],"period":30)")), "missing field `digits`");
    EXPECT_EQ(decode_error(R"({"mode":"reference","ref":"r","sensitivity":"low","environment":"e",)"
                           R"("component":"c","key":"k","created":"t"})"),
              "missing field `updated`");
}

TEST(RecordDecode, RejectsValuesOfWrongTypeOrRange) {
    auto totp = [](std::string_view members) {
        return with_common(R"("mode":"totp","seed":[1],)" + std::string(members));
    };
    EXPECT_EQ(decode_error(totp(R"("digits":300,"period":30)")), "invalid value: integer `300`, expected u8");
    EXPECT_EQ(decode_error(totp(R"("digits":6,"period":-1)")), "invalid value: integer `-1`, expected u8");
    EXPECT_EQ(decode_error(totp(R"("digits":6.0,"period":30)")), "invalid type: floating point, expected u8");
    auto literal = [](std::string_view value) {
        return with_common(R"("mode":"literal","value":)" + std::string(value));
    };
    EXPECT_EQ(decode_error(literal("[1,256]")), "invalid value: integer `256`, expected u8");
    EXPECT_EQ(decode_error(literal("[[1]]")), "invalid type: sequence, expected u8");
    EXPECT_EQ(decode_error(literal(R"(["s3cr3t"])")), "invalid type: string, expected u8");
    EXPECT_EQ(decode_error(literal(R"("s3cr3t")")), "invalid type: string, expected a sequence");
    EXPECT_EQ(decode_error(literal("null")), "invalid type: null, expected a sequence");
    EXPECT_EQ(decode_error(R"({"mode":"literal","value":[],"revealable":"yes"})"),
              "invalid type: string, expected a boolean");
    EXPECT_EQ(decode_error(R"({"mode":"literal","value":[],"environment":5})"),
              "invalid type: integer `5`, expected a string");
    EXPECT_EQ(decode_error(R"({"mode":true})"), "invalid type: boolean `true`, expected a string");
    EXPECT_EQ(decode_error(R"([1])"), "invalid type: sequence, expected a record object");
}

TEST(RecordDecode, RejectsMalformedJsonWithoutQuotingIt) {
    const std::string good = with_common(R"("mode":"literal","value":[115,51,99])");
    ASSERT_TRUE(decode(good + " \n"));
    const std::string trailing = "trailing characters at line 1 column " + std::to_string(good.size() + 1);
    EXPECT_EQ(decode_error(good + "x"), trailing);
    EXPECT_EQ(decode_error(good + std::string("\0{}", 3)), trailing);
    EXPECT_EQ(decode_error(good + "{}"), trailing);
    EXPECT_EQ(decode_error(good.substr(0, 40)), "unexpected end of input at line 1 column 41");
    EXPECT_EQ(decode_error(""), "unexpected end of input at line 1 column 1");
    EXPECT_EQ(decode_error("{\"mode\":\"lit\xff\"}"), "invalid UTF-8 in string at line 1 column 13");
    EXPECT_EQ(decode_error("{\"x\":\"a\nb\"}"),
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8");
    EXPECT_EQ(decode_error(R"({"x":"\udc00"})"), "lone surrogate in hex escape");
    EXPECT_EQ(decode_error(R"({"\udc00":1})"), "lone surrogate in hex escape");
    EXPECT_EQ(decode_error(R"({"x":)" + std::string(200, '[') + std::string(200, ']') + "}"),
              "recursion limit exceeded");
}

}  // namespace
}  // namespace tarnel::core
