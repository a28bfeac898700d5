// What reaches disk, and the texts a damaged record is reported with. That
// the fast readers read exactly what the strict ones read, on any input, is
// the fuzz targets' work (fuzz/record_json_fuzz.cpp, fuzz/sealed_json_fuzz.cpp).

#include "core/codec/record_json.hpp"
#include "core/codec/sealed_json.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using tarnel::testing::bytes_of;

RecordMetadata meta() {
    return {Sensitivity::Medium,   true, "dev", "app", "token", std::nullopt, "2024-05-01T10:00:00Z",
            "2024-05-02T11:00:00Z"};
}

constexpr std::string_view kCommon =
    R"("sensitivity":"medium","revealable":true,"environment":"dev","component":"app","key":"token",)"
    R"("created":"2024-05-01T10:00:00Z","updated":"2024-05-02T11:00:00Z")";

std::string with_common(std::string_view kind_members) {
    return "{" + std::string(kind_members) + "," + std::string(kCommon) + "}";
}

std::string encoded(const SecretRecord& record) {
    auto json = encode_record(record);
    EXPECT_TRUE(json) << json.error().display();
    return json ? std::string(json->expose_secret_chars()) : std::string();
}

TEST(RecordJson, WritesMembersInFixedOrderReadsOptionalOnesAsDefaultsAndIgnoresForeignOnes) {
    SecretRecord keypair{KeypairRecord{KeyAlgorithm::Rsa, std::nullopt, "ssh-rsa AAAA"}, meta()};
    keypair.meta.description = "q\"b\\s/\x01\n";
    const struct {
        SecretRecord record;
        std::string expected;
    } cases[] = {
        // clang-format off: one case a row
        {{LiteralRecord{SecretValue::from_text("abc")}, meta()}, with_common(R"("mode":"literal","value":[97,98,99])")},
        {{TotpRecord{SecretValue::from_text(std::string_view("\x00\xff", 2)), TotpAlgorithm::Sha256, 8, 60}, meta()}, with_common(R"("mode":"totp","seed":[0,255],"algorithm":"sha256","digits":8,"period":60)")},
        {std::move(keypair), R"({"mode":"keypair","algorithm":"rsa","public":"ssh-rsa AAAA","sensitivity":"medium",)" R"("revealable":true,"environment":"dev","component":"app","key":"token","description":)" R"("q\"b\\s/\u0001\n","created":"2024-05-01T10:00:00Z","updated":"2024-05-02T11:00:00Z"})"},
        // clang-format on
    };
    for (const auto& [record, expected] : cases) EXPECT_EQ(encoded(record), expected);
    SecretRecord bad{LiteralRecord{}, meta()};
    bad.meta.component = "a\xe2\x82";
    EXPECT_EQ(encode_record(bad).error().display(),
              "record serialization failed: text member `component` is not valid UTF-8");
    // Records written before a member existed, and members of other kinds or unknown ones.
    auto totp = decode_record(bytes_of(R"({"mode":"totp","seed":[1],"digits":6,"period":30,"sensitivity":"low",)"
                                       R"("environment":"e","component":"c","key":"k","created":"t","updated":"u"})"));
    ASSERT_TRUE(totp) << totp.error().display();
    EXPECT_EQ(std::get<TotpRecord>(totp->kind).algorithm, TotpAlgorithm::Sha1);
    EXPECT_FALSE(totp->meta.revealable || totp->meta.description);
    auto literal = decode_record(bytes_of(R"({"note":{"a":[1,{"b":null}]},"seed":"s","digits":900,"value":[1,2],)" +
                                          std::string(kCommon) + R"(,"algorithm":{},"mode":"literal"})"));
    ASSERT_TRUE(literal) << literal.error().display();
    EXPECT_EQ(encoded(*literal), with_common(R"("mode":"literal","value":[1,2])"));
}

TEST(RecordJson, DamagedRecordsAndEnvelopesAreNamedWithoutQuotingTheirValues) {
    const std::string good = with_common(R"("mode":"literal","value":[115,51,99])");
    const std::pair<std::string, std::string> cases[] = {
        {with_common(R"("mode":"pubkey","value":[])"),
         "unknown variant `pubkey`, expected one of `literal`, `reference`, `keypair`, `totp`"},
        {good.substr(0, good.size() - 1) + R"(,"k\u0065y":"again"})", "duplicate field `key`"},
        {with_common(R"("mode":"literal")"), "missing field `value`"},
        {with_common(R"("mode":"literal","value":[1,256])"), "invalid value: integer `256`, expected u8"},
        {good + "x", "trailing characters at line 1 column " + std::to_string(good.size() + 1)},
        {good.substr(0, 40), "unexpected end of input at line 1 column 41"},
        {R"({"x":)" + std::string(200, '[') + std::string(200, ']') + "}", "recursion limit exceeded"},
    };
    for (const auto& [json, expected] : cases) {
        EXPECT_EQ(decode_record(bytes_of(json)).error().detail(), expected) << json;
    }
    // The envelope around a record: compact members, read strictly.
    const SealedRecord sealed{{0, 1, 255}, {16, 200}};
    EXPECT_EQ(sealed_to_json(sealed), R"({"nonce":[0,1,255],"ciphertext":[16,200]})");
    EXPECT_EQ(sealed_from_json(bytes_of(sealed_to_json(sealed))).value_or(SealedRecord{}), sealed);
    // Its texts share the record reader's families (above).
    EXPECT_EQ(sealed_from_json(bytes_of(R"({"nonce":[],"ciphertext":{}})")).error().detail(),
              "invalid type: map, expected a sequence of bytes");
    EXPECT_FALSE(sealed_from_json(bytes_of(R"({"extra":[1,],"nonce":[1],"ciphertext":[]})")));
}

}  // namespace
}  // namespace tarnel::core
