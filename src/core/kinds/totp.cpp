#include "core/kinds/totp.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sodium.h>

#include <array>
#include <string>
#include <utility>

#include "core/base/ascii.hpp"

namespace tarnel::core {

namespace {

auto totp_error(std::string detail) { return fail(ErrorKind::Totp, std::move(detail)); }

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

bool starts_with_folded(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && ascii_lower(text.substr(0, prefix.size())) == prefix;
}

// The value of one base32 character, or -1.
int base32_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a';
    if (c >= '2' && c <= '7') return c - '2' + 26;
    return -1;
}

Result<std::uint64_t> checked_digits(std::uint64_t digits) {
    if (digits < kTotpMinDigits || digits > kTotpMaxDigits) {
        return totp_error("digits must be " + std::to_string(kTotpMinDigits) + " to " + std::to_string(kTotpMaxDigits) +
                          ", not " + std::to_string(digits));
    }
    return digits;
}

Result<std::uint64_t> checked_period(std::uint64_t period) {
    if (period == 0 || period > kTotpMaxPeriod) {
        return totp_error("period must be 1 to " + std::to_string(kTotpMaxPeriod) + " seconds, not " +
                          std::to_string(period));
    }
    return period;
}

Result<TotpRecord> build(SecretValue seed, std::optional<std::string_view> algorithm_word,
                         std::optional<std::uint64_t> digits, std::optional<std::uint64_t> period) {
    TotpRecord record;
    record.seed = std::move(seed);
    if (algorithm_word) {
        auto algorithm = parse_totp_algorithm(*algorithm_word);
        if (!algorithm) return std::unexpected(std::move(algorithm.error()));
        record.algorithm = *algorithm;
    }
    if (digits) {
        auto checked = checked_digits(*digits);
        if (!checked) return std::unexpected(std::move(checked.error()));
        record.digits = static_cast<std::uint8_t>(*checked);
    }
    if (period) {
        auto checked = checked_period(*period);
        if (!checked) return std::unexpected(std::move(checked.error()));
        record.period = static_cast<std::uint8_t>(*checked);
    }
    return record;
}

// --- otpauth:// ---------------------------------------------------------------

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes into a wiped holder: the secret parameter passes through here.
Result<SecretValue> percent_decoded(std::string_view text) {
    SecretValue out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(static_cast<std::uint8_t>(text[i]));
            continue;
        }
        const int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (high < 0 || low < 0) return totp_error("the otpauth URI has a malformed %-escape");
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
        i += 2;
    }
    return out;
}

Result<std::uint64_t> parse_number(std::string_view name, std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.size() > 9) return totp_error("`" + std::string(name) + "` is not a number we accept");
    for (char c : text) {
        if (c < '0' || c > '9') return totp_error("`" + std::string(name) + "` is not a number we accept");
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

struct OtpauthParameters {
    std::optional<std::string_view> secret;
    std::optional<std::string_view> algorithm;
    std::optional<std::string_view> digits;
    std::optional<std::string_view> period;
};

Result<OtpauthParameters> split_query(std::string_view query) {
    OtpauthParameters found;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        const std::string name = ascii_lower(pair.substr(0, eq));
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        std::optional<std::string_view>* slot = nullptr;
        if (name == "secret") slot = &found.secret;
        if (name == "algorithm") slot = &found.algorithm;
        if (name == "digits") slot = &found.digits;
        if (name == "period") slot = &found.period;
        // issuer, image and the like describe the account, not the code.
        if (slot == nullptr) continue;
        if (*slot) return totp_error("the otpauth URI gives `" + name + "` twice");
        *slot = value;
    }
    return found;
}

Result<TotpRecord> parse_otpauth(std::string_view uri) {
    std::string_view rest = uri.substr(std::string_view("otpauth://").size());
    const std::size_t type_end = rest.find_first_of("/?");
    const std::string type = ascii_lower(rest.substr(0, type_end));
    if (type == "hotp") {
        return totp_error("an otpauth://hotp/ URI is a counter-based enrolment; only otpauth://totp/ is supported");
    }
    if (type != "totp") return totp_error("unknown otpauth type `" + type + "` (expected totp)");

    const std::size_t question = rest.find('?');
    std::string_view query = question == std::string_view::npos ? std::string_view() : rest.substr(question + 1);
    query = query.substr(0, query.find('#'));
    auto parameters = split_query(query);
    if (!parameters) return std::unexpected(std::move(parameters.error()));
    if (!parameters->secret) return totp_error("the otpauth URI has no `secret` parameter");

    auto encoded = percent_decoded(*parameters->secret);
    if (!encoded) return std::unexpected(std::move(encoded.error()));
    auto seed = decode_base32(encoded->expose_secret_chars());
    if (!seed) return std::unexpected(std::move(seed.error()));

    std::optional<std::string> algorithm;
    if (parameters->algorithm) {
        auto decoded = percent_decoded(*parameters->algorithm);
        if (!decoded) return std::unexpected(std::move(decoded.error()));
        algorithm = std::string(decoded->expose_secret_chars());
    }
    std::optional<std::uint64_t> digits;
    if (parameters->digits) {
        auto number = parse_number("digits", *parameters->digits);
        if (!number) return std::unexpected(std::move(number.error()));
        digits = *number;
    }
    std::optional<std::uint64_t> period;
    if (parameters->period) {
        auto number = parse_number("period", *parameters->period);
        if (!number) return std::unexpected(std::move(number.error()));
        period = *number;
    }
    return build(std::move(*seed), algorithm ? std::optional<std::string_view>(*algorithm) : std::nullopt, digits,
                 period);
}

// --- HMAC ---------------------------------------------------------------------

const EVP_MD* digest_of(TotpAlgorithm algorithm) {
    switch (algorithm) {
        case TotpAlgorithm::Sha1: return EVP_sha1();
        case TotpAlgorithm::Sha256: return EVP_sha256();
        case TotpAlgorithm::Sha512: return EVP_sha512();
    }
    return nullptr;
}

}  // namespace

Result<SecretValue> decode_base32(std::string_view text) {
    SecretValue out;
    out.reserve(text.size() * 5 / 8 + 1);
    std::uint64_t bits = 0;
    int held = 0;
    std::size_t symbols = 0;
    bool padding = false;
    for (char c : text) {
        if (c == ' ' || c == '\t') continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        const int value = base32_value(c);
        if (value < 0) {
            sodium_memzero(&bits, sizeof bits);
            return totp_error("the seed is not base32 (letters A to Z and digits 2 to 7)");
        }
        if (padding) {
            sodium_memzero(&bits, sizeof bits);
            return totp_error("`=` padding may only end the seed");
        }
        bits = (bits << 5) | static_cast<std::uint64_t>(value);
        held += 5;
        ++symbols;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> held));
        }
    }
    sodium_memzero(&bits, sizeof bits);
    if (symbols == 0) return totp_error("the seed is empty");
    // Whole bytes end a base32 text after 2, 4, 5, 7 or 8 characters of a block.
    const std::size_t tail = symbols % 8;
    if (tail == 1 || tail == 3 || tail == 6) return totp_error("the seed has a length no base32 text can have");
    return out;
}

Result<TotpAlgorithm> parse_totp_algorithm(std::string_view word) {
    std::string folded = ascii_lower(word);
    if (folded.starts_with("sha-")) folded.erase(3, 1);
    if (auto algorithm = totp_algorithm_from_word(folded)) return *algorithm;
    return totp_error("unknown algorithm `" + std::string(word) + "` (expected sha1, sha256 or sha512)");
}

Result<TotpRecord> parse_totp_enrolment(std::string_view text, const TotpSettings& settings) {
    const std::string_view enrolment = trimmed(text);
    if (starts_with_folded(enrolment, "otpauth://")) {
        if (!settings.empty()) {
            return totp_error("algorithm, digits and period come from the otpauth URI and cannot be given beside it");
        }
        return parse_otpauth(enrolment);
    }
    auto seed = decode_base32(enrolment);
    if (!seed) return std::unexpected(std::move(seed.error()));
    return build(std::move(*seed), settings.algorithm, settings.digits, settings.period);
}

Result<SecretValue> totp_code(const TotpRecord& totp, std::uint64_t unix_secs) {
    // Records written by other tools reach here unchecked.
    if (auto digits = checked_digits(totp.digits); !digits) return std::unexpected(std::move(digits.error()));
    if (totp.period == 0) return totp_error("period must be 1 to 255 seconds, not 0");
    if (totp.seed.empty()) return totp_error("the seed is empty");

    std::uint64_t counter = unix_secs / totp.period;
    std::array<std::uint8_t, 8> message{};
    for (std::size_t i = message.size(); i-- > 0; counter >>= 8) message[i] = static_cast<std::uint8_t>(counter);

    std::array<std::uint8_t, EVP_MAX_MD_SIZE> mac{};
    unsigned int mac_size = 0;
    const auto seed = totp.seed.expose_secret();
    if (HMAC(digest_of(totp.algorithm), seed.data(), static_cast<int>(seed.size()), message.data(), message.size(),
             mac.data(), &mac_size) == nullptr) {
        return totp_error("HMAC failed");
    }
    // RFC 4226 dynamic truncation: four bytes at the offset the last nibble names.
    const std::size_t offset = mac[mac_size - 1] & 0x0f;
    std::uint64_t value = (static_cast<std::uint64_t>(mac[offset] & 0x7f) << 24) |
                          (static_cast<std::uint64_t>(mac[offset + 1]) << 16) |
                          (static_cast<std::uint64_t>(mac[offset + 2]) << 8) | mac[offset + 3];
    sodium_memzero(mac.data(), mac.size());

    SecretValue code = SecretValue::zeroed(totp.digits);
    auto digits = code.expose_secret_mut();
    for (std::size_t i = digits.size(); i-- > 0; value /= 10) digits[i] = static_cast<std::uint8_t>('0' + value % 10);
    sodium_memzero(&value, sizeof value);
    return code;
}

}  // namespace tarnel::core
