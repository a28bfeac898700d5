#pragma once

// The masking rule written out naively, and random outputs and secrets that
// make its corner cases likely: small alphabets with '*', periodic secrets,
// secrets inside other secrets.

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/secret.hpp"
#include "support/test_support.hpp"

namespace tarnel::testing {

// Position by position, exactly as the rule reads.
inline std::string naive_mask(std::string text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets) {
        if (secret.empty() || secret.size() > text.size()) continue;
        std::string out;
        for (std::size_t at = 0; at < text.size();) {
            if (text[at] == secret[0] && text.compare(at, secret.size(), secret) == 0) {
                out += "***";
                at += secret.size();
            } else {
                out += text[at++];
            }
        }
        text = std::move(out);
    }
    return text;
}

inline std::vector<core::SecretValue> secrets_of(const std::vector<std::string>& texts) {
    std::vector<core::SecretValue> secrets;
    for (const std::string& text : texts) secrets.push_back(core::SecretValue::from_text(text));
    return secrets;
}

inline std::vector<std::string> texts_of(std::span<const core::SecretValue> values) {
    std::vector<std::string> texts;
    for (const core::SecretValue& value : values) texts.emplace_back(value.expose_secret_chars());
    return texts;
}

inline std::string text_of(const core::SecretValue& value) { return std::string(value.expose_secret_chars()); }

struct MaskCase {
    std::string output;
    std::vector<std::string> secrets;
};

class CaseMaker {
public:
    explicit CaseMaker(std::uint64_t seed) : random_(seed) {}

    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }

    std::string word(std::string_view alphabet, std::size_t size) {
        std::string out(size, ' ');
        for (char& c : out) c = alphabet[below(alphabet.size())];
        return out;
    }

    // Up to 40 bytes over {a, b, *} and 0 to 6 secrets of up to 5 bytes.
    MaskCase small() {
        MaskCase made{word("ab*", below(41)), {}};
        for (std::size_t n = below(7); n > 0; --n) made.secrets.push_back(word("ab*", below(6)));
        return made;
    }

    // Printable output with the secrets planted in it, some next to each
    // other, some secrets containing others or being repeats of one byte.
    MaskCase planted(std::size_t size, std::size_t secret_count) {
        MaskCase made{word(kPrintable, size), {}};
        for (std::size_t i = 0; i < secret_count; ++i) {
            std::string secret;
            switch (below(6)) {
                case 0: secret = std::string(1 + below(4), 'a'); break;
                case 1:
                    secret = made.secrets.empty() ? word("xyz", 4) : made.secrets[below(made.secrets.size())] + word("xy*", 1 + below(3));
                    break;
                case 2: secret = word("ab*", 2 + below(4)); break;
                default: secret = word(kPrintable, 3 + below(38)); break;
            }
            made.secrets.push_back(secret);
        }
        for (std::size_t n = size / 64; n > 0 && !made.secrets.empty(); --n) {
            std::string piece = made.secrets[below(made.secrets.size())];
            if (below(4) == 0) piece += made.secrets[below(made.secrets.size())];
            if (piece.size() >= made.output.size()) continue;
            made.output.replace(below(made.output.size() - piece.size()), piece.size(), piece);
        }
        return made;
    }

private:
    static constexpr std::string_view kPrintable =
        " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~\naaaa";

    std::mt19937_64 random_;
};

}  // namespace tarnel::testing
