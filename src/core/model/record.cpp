#include "core/model/record.hpp"

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace tarnel::core {

namespace {

constexpr std::array<std::string_view, 2> kKeyAlgorithmWords{"ed25519", "rsa"};
constexpr std::array<std::string_view, 3> kTotpAlgorithmWords{"sha1", "sha256", "sha512"};
constexpr std::array<std::string_view, 4> kTagWords{"literal", "reference", "keypair", "totp"};

template <class Enum, std::size_t N>
std::optional<Enum> from_word(const std::array<std::string_view, N>& words, std::string_view word) {
    for (std::size_t i = 0; i < N; ++i) {
        if (words[i] == word) return static_cast<Enum>(i);
    }
    return std::nullopt;
}

}  // namespace

std::string_view key_algorithm_word(KeyAlgorithm algorithm) noexcept {
    return kKeyAlgorithmWords[std::to_underlying(algorithm)];
}

std::optional<KeyAlgorithm> key_algorithm_from_word(std::string_view word) noexcept {
    return from_word<KeyAlgorithm>(kKeyAlgorithmWords, word);
}

std::string_view totp_algorithm_word(TotpAlgorithm algorithm) noexcept {
    return kTotpAlgorithmWords[std::to_underlying(algorithm)];
}

std::optional<TotpAlgorithm> totp_algorithm_from_word(std::string_view word) noexcept {
    return from_word<TotpAlgorithm>(kTotpAlgorithmWords, word);
}

std::span<const std::string_view> key_algorithm_words() noexcept { return kKeyAlgorithmWords; }

std::span<const std::string_view> totp_algorithm_words() noexcept { return kTotpAlgorithmWords; }

std::span<const std::string_view> tag_words() noexcept { return kTagWords; }

std::string SecretRecord::canonical_path() const {
    std::string path;
    path.reserve(meta.environment.size() + meta.component.size() + meta.key.size() + 2);
    path.append(meta.environment).append("/").append(meta.component).append("/").append(meta.key);
    return path;
}

std::string_view SecretRecord::tag_word() const noexcept { return kTagWords[kind.index()]; }

SecretRecord SecretRecord::clone() const {
    auto copy_kind = [](const auto& k) -> RecordKind {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, LiteralRecord>) {
            return LiteralRecord{k.value.clone()};
        } else if constexpr (std::is_same_v<K, ReferenceRecord>) {
            return ReferenceRecord{k.ref};
        } else if constexpr (std::is_same_v<K, KeypairRecord>) {
            std::optional<SecretValue> private_key;
            if (k.private_key) private_key = k.private_key->clone();
            return KeypairRecord{k.algorithm, std::move(private_key), k.public_key};
        } else {
            return TotpRecord{k.seed.clone(), k.algorithm, k.digits, k.period};
        }
    };
    return SecretRecord{std::visit(copy_kind, kind), meta};
}

}  // namespace tarnel::core
