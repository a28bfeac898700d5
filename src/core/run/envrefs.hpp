#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/base/error.hpp"

namespace tarnel::core {

namespace source {
// Taken verbatim.
struct Literal {
    std::string value;
    friend bool operator==(const Literal&, const Literal&) = default;
};
// ${env:NAME} or ${env:NAME | fallback}
struct Env {
    std::string var;
    std::optional<std::string> fallback;
    friend bool operator==(const Env&, const Env&) = default;
};
// secret:... or secret:... | fallback; the uri keeps its "secret:" prefix and
// is parsed as a coordinate only when it is checked or resolved.
struct Secret {
    std::string uri;
    std::optional<std::string> fallback;
    friend bool operator==(const Secret&, const Secret&) = default;
};
}  // namespace source

using Source = std::variant<source::Literal, source::Env, source::Secret>;

// A parsed .env.refs text: which variables a child gets and where each value
// comes from. Holds no secret.
struct EnvRefs {
    std::vector<std::pair<std::string, Source>> vars;  // file order, unique names
    std::optional<std::string> project;

    // Strict: the first bad line ends the parse with "line N: ...".
    static Result<EnvRefs> parse(std::string_view text);
};

// Non-empty ASCII: a letter or "_", then letters, digits or "_".
bool is_identifier(std::string_view text) noexcept;

struct FallbackSplit {
    std::string_view primary;
    std::optional<std::string_view> fallback;
};
// Cuts at the first "|" and trims both parts of Unicode white space.
FallbackSplit split_fallback(std::string_view text);

// Refuses any "${" in the text.
Result<void> reject_interpolation(std::string_view text, std::size_t line);

}  // namespace tarnel::core
