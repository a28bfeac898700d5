#include "core/sensitivity.hpp"

#include <array>
#include <utility>

#include "core/ascii.hpp"

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

}  // namespace

std::string_view sensitivity_word(Sensitivity level) noexcept {
    return kNames[std::to_underlying(level)].word;
}

std::string_view sensitivity_debug_name(Sensitivity level) noexcept {
    return kNames[std::to_underlying(level)].debug;
}

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
