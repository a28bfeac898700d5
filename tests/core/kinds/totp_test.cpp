#include "core/kinds/totp.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <utility>

namespace tarnel::core {
namespace {

std::string text_of(const SecretValue& value) { return std::string(value.expose_secret_chars()); }

TotpRecord record(std::string_view seed, TotpAlgorithm algorithm, std::uint8_t digits, std::uint8_t period = 30) {
    TotpRecord totp;
    totp.seed = SecretValue::from_text(seed);
    totp.algorithm = algorithm;
    totp.digits = digits;
    totp.period = period;
    return totp;
}

// RFC 6238, Appendix B: each algorithm with its own seed, eight digits, period 30.
TEST(TotpCode, Rfc6238AppendixBVectors) {
    const std::string sha1_seed = "12345678901234567890";
    const std::string sha256_seed = "12345678901234567890123456789012";
    const std::string sha512_seed = "1234567890123456789012345678901234567890123456789012345678901234";
    struct Vector {
        std::uint64_t time;
        const char* sha1;
        const char* sha256;
        const char* sha512;
    };
    const Vector vectors[] = {
        {59, "94287082", "46119246", "90693936"},
        {1111111109, "07081804", "68084774", "25091201"},
        {1111111111, "14050471", "67062674", "99943326"},
        {1234567890, "89005924", "91819424", "93441116"},
        {2000000000, "69279037", "90698825", "38618901"},
        {20000000000, "65353130", "77737706", "47863826"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(text_of(*totp_code(record(sha1_seed, TotpAlgorithm::Sha1, 8), v.time)), v.sha1) << v.time;
        EXPECT_EQ(text_of(*totp_code(record(sha256_seed, TotpAlgorithm::Sha256, 8), v.time)), v.sha256) << v.time;
        EXPECT_EQ(text_of(*totp_code(record(sha512_seed, TotpAlgorithm::Sha512, 8), v.time)), v.sha512) << v.time;
    }
}

TEST(TotpCode, DigitsPeriodAndZeroPadding) {
    const auto seed = "12345678901234567890";
    EXPECT_EQ(text_of(*totp_code(record(seed, TotpAlgorithm::Sha1, 6), 59)), "287082");
    const std::string ten = text_of(*totp_code(record(seed, TotpAlgorithm::Sha1, 10), 1111111109));
    EXPECT_EQ(ten.size(), 10u);
    EXPECT_TRUE(ten.ends_with("07081804")) << ten;
    // Period 60 at 119 is counter 1, which period 30 reaches at 59.
    EXPECT_EQ(text_of(*totp_code(record(seed, TotpAlgorithm::Sha1, 8, 60), 119)), "94287082");
    EXPECT_EQ(text_of(*totp_code(record(seed, TotpAlgorithm::Sha1, 8), 30)), "94287082");
    EXPECT_NE(text_of(*totp_code(record(seed, TotpAlgorithm::Sha1, 8), 29)), "94287082");
}

TEST(TotpCode, RecordsItCannotUseAreRefused) {
    for (auto [digits, period, seed] : {std::tuple<int, int, const char*>{5, 30, "k"}, {11, 30, "k"}, {0, 30, "k"},
                                        {6, 0, "k"}, {6, 30, ""}}) {
        auto code = totp_code(record(seed, TotpAlgorithm::Sha1, static_cast<std::uint8_t>(digits),
                                     static_cast<std::uint8_t>(period)),
                              59);
        ASSERT_FALSE(code) << digits << "/" << period;
        EXPECT_EQ(code.error().kind(), ErrorKind::Totp);
        EXPECT_TRUE(code.error().display().starts_with("totp operation failed: ")) << code.error().display();
    }
}

// RFC 4648, section 10, and the forms people paste.
TEST(Base32, DecodesWithAndWithoutPaddingInEitherCase) {
    const std::pair<const char*, const char*> vectors[] = {
        {"MY======", "f"},     {"MZXQ====", "fo"},     {"MZXW6===", "foo"},           {"MZXW6YQ=", "foob"},
        {"MZXW6YTB", "fooba"}, {"MZXW6YTBOI", "foobar"}, {"mzxw 6ytb oi", "foobar"}, {" MzXw6===  ", "foo"},
    };
    for (const auto& [encoded, decoded] : vectors) {
        auto bytes = decode_base32(encoded);
        ASSERT_TRUE(bytes) << encoded << ": " << bytes.error().display();
        EXPECT_EQ(text_of(*bytes), decoded) << encoded;
    }
}

TEST(Base32, RefusesWhatNoEncoderWritesWithoutEchoingTheSeed) {
    for (const char* bad : {"", "   ", "====", "SUPERSECRET1", "SUPERSECRET0", "SUPERSECRET8", "SUPERSECRET!",
                            "M", "MZX", "MZXW6Y", "MZ=XW6YQ", "MZXW6=YQ"}) {
        auto bytes = decode_base32(bad);
        ASSERT_FALSE(bytes) << bad;
        EXPECT_EQ(bytes.error().kind(), ErrorKind::Totp);
        EXPECT_EQ(bytes.error().display().find("SUPERSECRET"), std::string::npos) << bytes.error().display();
    }
}

TEST(TotpEnrolment, OtpauthUriCarriesItsSettingsABareSeedTakesTheGivenOnes) {
    auto totp = parse_totp_enrolment(
        "otpauth://totp/ACME%20Co:alice@example.com?issuer=ACME%20Co&secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"
        "&algorithm=SHA256&digits=8&period=60\n",
        {});
    ASSERT_TRUE(totp) << totp.error().display();
    EXPECT_EQ(text_of(totp->seed), "12345678901234567890");
    EXPECT_EQ(totp->algorithm, TotpAlgorithm::Sha256);
    EXPECT_EQ(totp->digits, 8);
    EXPECT_EQ(totp->period, 60);

    // Defaults, names and scheme in any case, padding escaped, no label.
    auto plain = parse_totp_enrolment("OTPAUTH://TOTP?SECRET=mzxw6%3D%3D%3D", {});
    ASSERT_TRUE(plain) << plain.error().display();
    EXPECT_EQ(text_of(plain->seed), "foo");
    EXPECT_EQ(plain->algorithm, TotpAlgorithm::Sha1);
    EXPECT_EQ(plain->digits, 6);
    EXPECT_EQ(plain->period, 30);

    auto bare = parse_totp_enrolment("gezd gnbv gy3t qojq", {.algorithm = "SHA-512", .digits = 10, .period = 255});
    ASSERT_TRUE(bare) << bare.error().display();
    EXPECT_EQ(text_of(bare->seed), "1234567890");
    EXPECT_EQ(bare->algorithm, TotpAlgorithm::Sha512);
    EXPECT_EQ(bare->digits, 10);
    EXPECT_EQ(bare->period, 255);
}

TEST(TotpEnrolment, Refusals) {
    const std::string seed = "GEZDGNBVGY3TQOJQ";
    const std::pair<std::string, std::string> cases[] = {
        {"otpauth://hotp/a?secret=" + seed + "&counter=1", "counter-based"},
        {"otpauth://motp/a?secret=" + seed, "unknown otpauth type `motp`"},
        {"otpauth://totp/a?issuer=x", "no `secret` parameter"},
        {"otpauth://totp/a", "no `secret` parameter"},
        {"otpauth://totp/a?secret=", "the seed is empty"},
        {"otpauth://totp/a?secret=" + seed + "&digits=5", "digits must be 6 to 10, not 5"},
        {"otpauth://totp/a?secret=" + seed + "&digits=11", "digits must be 6 to 10, not 11"},
        {"otpauth://totp/a?secret=" + seed + "&digits=six", "`digits` is not a number"},
        {"otpauth://totp/a?secret=" + seed + "&digits=-6", "`digits` is not a number"},
        {"otpauth://totp/a?secret=" + seed + "&period=0", "period must be 1 to 255 seconds, not 0"},
        {"otpauth://totp/a?secret=" + seed + "&period=256", "period must be 1 to 255 seconds, not 256"},
        {"otpauth://totp/a?secret=" + seed + "&algorithm=MD5", "unknown algorithm `MD5`"},
        {"otpauth://totp/a?secret=" + seed + "&secret=" + seed, "gives `secret` twice"},
        {"otpauth://totp/a?secret=" + seed + "%3", "malformed %-escape"},
        {"otpauth://totp/a?secret=%G1" + seed, "malformed %-escape"},
    };
    for (const auto& [uri, expected] : cases) {
        auto totp = parse_totp_enrolment(uri, {});
        ASSERT_FALSE(totp) << uri;
        EXPECT_EQ(totp.error().kind(), ErrorKind::Totp);
        EXPECT_NE(totp.error().display().find(expected), std::string::npos) << totp.error().display();
        EXPECT_EQ(totp.error().display().find(seed), std::string::npos) << totp.error().display();
    }

    auto beside = parse_totp_enrolment("otpauth://totp/a?secret=" + seed, {.digits = 8});
    ASSERT_FALSE(beside);
    EXPECT_NE(beside.error().display().find("cannot be given beside it"), std::string::npos);
    for (TotpSettings bad : {TotpSettings{.algorithm = "sha3"}, TotpSettings{.digits = 0},
                             TotpSettings{.period = 0}, TotpSettings{.period = 1u << 20}}) {
        EXPECT_FALSE(parse_totp_enrolment(seed, bad));
    }
}

}  // namespace
}  // namespace tarnel::core
