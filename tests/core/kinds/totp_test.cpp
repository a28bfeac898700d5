#include "core/kinds/totp.hpp"

#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

std::string text_of(const SecretValue& value) { return std::string(value.expose_secret_chars()); }

std::string text_of(const Result<SecretValue>& value) { return value ? text_of(*value) : value.error().display(); }

std::string code(std::string_view seed, TotpAlgorithm algorithm, int digits, int period, std::uint64_t time) {
    return text_of(totp_code(TotpRecord{SecretValue::from_text(seed), algorithm, static_cast<std::uint8_t>(digits),
                                        static_cast<std::uint8_t>(period)},
                             time));
}

std::string enrolled(std::string_view text, const TotpSettings& settings = {}) {
    const auto totp = parse_totp_enrolment(text, settings);
    if (!totp) return totp.error().display();
    const std::string_view algorithms[] = {"sha1", "sha256", "sha512"};
    return text_of(totp->seed) + " " + std::string(algorithms[static_cast<int>(totp->algorithm)]) + " " +
           std::to_string(totp->digits) + " " + std::to_string(totp->period);
}

// RFC 6238, Appendix B: each algorithm with its own seed, eight digits, period 30.
TEST(Totp, Rfc6238VectorsAndWhatAnEnrolmentCarries) {
    const std::string seed = "1234567890123456789012345678901234567890123456789012345678901234";
    const std::tuple<std::uint64_t, const char*, const char*, const char*> vectors[] = {
        {59, "94287082", "46119246", "90693936"},
        {20000000000, "65353130", "77737706", "47863826"},
    };
    for (const auto& [time, sha1, sha256, sha512] : vectors) {
        EXPECT_EQ(code(seed.substr(0, 20), TotpAlgorithm::Sha1, 8, 30, time), sha1) << time;
        EXPECT_EQ(code(seed.substr(0, 32), TotpAlgorithm::Sha256, 8, 30, time), sha256) << time;
        EXPECT_EQ(code(seed, TotpAlgorithm::Sha512, 8, 30, time), sha512) << time;
    }
    EXPECT_EQ(code(seed.substr(0, 20), TotpAlgorithm::Sha1, 6, 30, 59), "287082");
    EXPECT_EQ(code(seed.substr(0, 20), TotpAlgorithm::Sha1, 10, 30, 20000000000).substr(2), "65353130");
    // Other periods reach the code through tarnel (tests/python/test_cli_kinds.py).
    for (const auto& [digits, period, bad_seed] :
         {std::tuple<int, int, const char*>{5, 30, "k"}, {11, 30, "k"}, {6, 0, "k"}, {6, 30, ""}}) {
        EXPECT_TRUE(code(bad_seed, TotpAlgorithm::Sha1, digits, period, 59).starts_with("totp operation failed: "));
    }
    // Enrolment: an otpauth URI carries its settings, a bare seed takes the given ones.
    EXPECT_EQ(enrolled("otpauth://totp/ACME%20Co:alice@example.com?issuer=ACME%20Co&secret=GEZDGNBVGY3TQOJQGEZDGNBV"
                       "GY3TQOJQ&algorithm=SHA256&digits=8&period=60\n"),
              "12345678901234567890 sha256 8 60");
    // Defaults, names and scheme in any case, padding escaped, no label.
    EXPECT_EQ(enrolled("OTPAUTH://TOTP?SECRET=mzxw6%3D%3D%3D"), "foo sha1 6 30");
    EXPECT_EQ(enrolled("gezd gnbv gy3t qojq", {.algorithm = "SHA-512", .digits = 10, .period = 255}),
              "1234567890 sha512 10 255");
    const std::string b32 = "GEZDGNBVGY3TQOJQ";
    const std::string uri = "otpauth://totp/a?secret=" + b32;
    for (const auto& [text, expected] : std::initializer_list<std::pair<std::string, std::string>>{
             {"otpauth://hotp/a?secret=" + b32 + "&counter=1", "counter-based"},
             {"otpauth://totp/a?issuer=x", "no `secret` parameter"},
             {uri + "&digits=11", "digits must be 6 to 10, not 11"},
             {uri + "&period=256", "period must be 1 to 255 seconds, not 256"},
             {uri + "&algorithm=MD5", "unknown algorithm `MD5`"},
             {uri + "&secret=" + b32, "gives `secret` twice"},
             {uri + "%3", "malformed %-escape"},
             // A bare seed no encoder writes; refusals never echo the seed.
             {"GEZDGNBVGY3TQOJ1", "totp operation failed: "},
             {"GEZDGNBVGY3TQOJQGEZDGN", "totp operation failed: "},
             {"GEZDGNBV=GY3TQOJQ", "totp operation failed: "},
             {"====", "totp operation failed: "}}) {
        const std::string error = enrolled(text);
        EXPECT_TRUE(error.starts_with("totp operation failed: ") && error.find(expected) != std::string::npos) << error;
        EXPECT_EQ(error.find(b32), std::string::npos) << error;
    }
    EXPECT_NE(enrolled(uri, {.digits = 8}).find("cannot be given beside it"), std::string::npos);
}

}  // namespace
}  // namespace tarnel::core
