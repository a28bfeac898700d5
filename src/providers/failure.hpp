#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnel::providers {

// Phrases a client's standard error may contain (lower case) and what they
// are taken to mean.
struct PhraseGroup {
    std::span<const std::string_view> phrases;
    std::string_view message;
};

// The message of the first group, in order, with a phrase anywhere in the
// text, compared without ASCII case; the fallback when none matches.
std::string_view message_for(std::span<const std::uint8_t> err, std::span<const PhraseGroup> groups,
                             std::string_view fallback);

// The exit code in decimal, or "signal" when the client was killed.
std::string exit_description(std::optional<std::int32_t> code);

}  // namespace tarnel::providers
