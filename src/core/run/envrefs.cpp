#include "core/run/envrefs.hpp"

#include <algorithm>
#include <string>

#include "core/codec/unicode_space.hpp"

namespace tarnel::core {

namespace {

constexpr std::string_view kSecretPrefix = "secret:";
constexpr std::string_view kEnvOpen = "${env:";

std::unexpected<CoreError> line_error(std::size_t line, std::string_view message) {
    return fail(ErrorKind::EnvRefs, "line " + std::to_string(line) + ": " + std::string(message));
}

// Vertical tab is deliberately absent: it does not start a comment.
bool is_comment_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

// A "#" is a comment only at the start or after white space, so fragments
// such as "#private" and values such as "abc#def" survive.
std::string_view strip_comment(std::string_view line) noexcept {
    if (line.starts_with('#')) return {};
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (line[i] == '#' && is_comment_space(line[i - 1])) return line.substr(0, i);
    }
    return line;
}

// Calls `each(number, line)` for every line until it fails. A final line feed
// does not open another, empty line.
template <class Each>
Result<void> for_each_line(std::string_view text, Each&& each) {
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
        if (Result<void> done = each(++number, line); !done) return done;
    }
    return {};
}

std::optional<std::string> owned(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    return std::string(*text);
}

Result<void> check_fallback(const FallbackSplit& split, std::size_t line) {
    if (!split.fallback) return {};
    return reject_interpolation(*split.fallback, line);
}

Result<Source> classify(std::string_view value, std::size_t line) {
    if (value.size() >= 7 && value.starts_with(kSecretPrefix)) {
        const FallbackSplit split = split_fallback(value.substr(kSecretPrefix.size()));
        if (Result<void> checked = check_fallback(split, line); !checked) return fail(checked.error());
        return source::Secret{std::string(kSecretPrefix) + std::string(split.primary), owned(split.fallback)};
    }
    if (value.size() >= 7 && value.starts_with(kEnvOpen) && value.ends_with('}')) {
        const FallbackSplit split = split_fallback(value.substr(kEnvOpen.size(), value.size() - kEnvOpen.size() - 1));
        if (!is_identifier(split.primary)) {
            return line_error(line, "`${env:\xE2\x80\xA6}` requires a valid variable name");
        }
        if (Result<void> checked = check_fallback(split, line); !checked) return fail(checked.error());
        return source::Env{std::string(split.primary), owned(split.fallback)};
    }
    if (Result<void> checked = reject_interpolation(value, line); !checked) return fail(checked.error());
    return source::Literal{std::string(value)};
}

}  // namespace

bool is_identifier(std::string_view text) noexcept {
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return !text.empty() && letter(text.front()) &&
           std::all_of(text.begin() + 1, text.end(), [&](char c) { return letter(c) || digit(c); });
}

FallbackSplit split_fallback(std::string_view text) {
    const std::size_t bar = text.find('|');
    if (bar == std::string_view::npos) return {trim_unicode_space(text), std::nullopt};
    return {trim_unicode_space(text.substr(0, bar)), trim_unicode_space(text.substr(bar + 1))};
}

Result<void> reject_interpolation(std::string_view text, std::size_t line) {
    if (text.find("${") == std::string_view::npos) return {};
    return line_error(line,
                      "cross-variable interpolation is not allowed (only `${ENV}` in a URI path and "
                      "`${env:NAME}` are valid)");
}

Result<EnvRefs> EnvRefs::parse(std::string_view text) {
    EnvRefs refs;
    Result<void> parsed = for_each_line(text, [&](std::size_t number, std::string_view raw) -> Result<void> {
        const std::string_view line = trim_unicode_space(strip_comment(raw));
        if (line.empty()) return {};
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            return line_error(number, "expected `NAME=<source>` or `project = <name>`");
        }
        const std::string_view key = trim_unicode_space(line.substr(0, equals));
        const std::string_view value = trim_unicode_space(line.substr(equals + 1));
        if (key == "project") {
            if (refs.project) return line_error(number, "duplicate `project =` line");
            if (value.empty()) return line_error(number, "`project =` requires a name");
            refs.project = std::string(value);
            return {};
        }
        if (!is_identifier(key)) return line_error(number, "variable name is not a valid identifier");
        const bool taken = std::ranges::any_of(refs.vars, [&](const auto& var) { return var.first == key; });
        if (taken) return line_error(number, "duplicate variable name");
        Result<Source> source = classify(value, number);
        if (!source) return fail(std::move(source).error());
        refs.vars.emplace_back(std::string(key), std::move(*source));
        return {};
    });
    if (!parsed) return fail(std::move(parsed).error());
    return refs;
}

}  // namespace tarnel::core
