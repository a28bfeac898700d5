#include "core/model/sensitivity.hpp"

#include <array>
#include <utility>

#include "core/base/ascii.hpp"

namespace tarnel::core {

namespace {

struct Names {
    Sensitivity level;
    std::string_view word;
    std::string_view debug;
};

constexpr std::array<Names, 4> kNames{{
    {Sensitivity::Low, "low", "Low"},
    {Sensitivity::Medium, "medium", "Medium"},
    {Sensitivity::High, "high", "High"},
    {Sensitivity::InjectOnly, "inject-only", "InjectOnly"},
}};

constexpr std::array<std::string_view, 4> kWords{kNames[0].word, kNames[1].word, kNames[2].word, kNames[3].word};

}  // namespace

std::span<const std::string_view> sensitivity_words() noexcept { return kWords; }

std::string_view sensitivity_word(Sensitivity level) noexcept { return kNames[std::to_underlying(level)].word; }

std::string_view sensitivity_debug_name(Sensitivity level) noexcept { return kNames[std::to_underlying(level)].debug; }

std::optional<Sensitivity> sensitivity_from_word(std::string_view word) noexcept {
    for (const auto& names : kNames) {
        if (names.word == word) return names.level;
    }
    return std::nullopt;
}

std::expected<Sensitivity, std::string> parse_sensitivity(std::string_view text) {
    std::string word = ascii_lower(text);
    for (char& c : word) {
        if (c == '_') c = '-';
    }
    if (word == "injectonly") return Sensitivity::InjectOnly;
    if (auto level = sensitivity_from_word(word)) return *level;
    return std::unexpected("unknown sensitivity `" + word + "` (expected low|medium|high|inject-only)");
}

}  // namespace tarnel::core
