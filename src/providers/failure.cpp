#include "providers/failure.hpp"

#include <algorithm>

namespace tarnel::providers {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The phrases are ASCII, and decoding the text as UTF-8 with replacements
// would keep every ASCII byte in place and produce no new one, so matching on
// the raw bytes finds exactly what matching on the decoded text would.
bool contains(std::string_view text, std::string_view phrase) {
    return !std::ranges::search(text, phrase, [](char a, char b) { return lower(a) == b; }).empty();
}

}  // namespace

std::string_view message_for(std::span<const std::uint8_t> err, std::span<const PhraseGroup> groups,
                             std::string_view fallback) {
    const std::string_view text(reinterpret_cast<const char*>(err.data()), err.size());
    for (const PhraseGroup& group : groups) {
        for (std::string_view phrase : group.phrases) {
            if (contains(text, phrase)) return group.message;
        }
    }
    return fallback;
}

std::string exit_description(std::optional<std::int32_t> code) { return code ? std::to_string(*code) : "signal"; }

}  // namespace tarnel::providers
