#include "core/run/dotenv.hpp"

#include <utility>

#include "core/codec/unicode_space.hpp"
#include "core/run/envrefs.hpp"

namespace tarnel::core {

namespace {

std::unexpected<CoreError> line_error(std::size_t line, std::string_view message) {
    return fail(ErrorKind::Format, "line " + std::to_string(line) + ": " + std::string(message));
}

// A cursor over the text that counts lines as it passes their ends.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool done() const noexcept { return at_ == text_.size(); }
    char peek() const noexcept { return done() ? '\0' : text_[at_]; }
    std::string_view rest() const noexcept { return text_.substr(at_); }
    std::size_t line() const noexcept { return line_; }
    bool at_line_end() const noexcept { return done() || peek() == '\n' || peek() == '\r'; }

    // Moves over `bytes` bytes, counting the line ends among them ("\r\n"
    // once).
    void advance(std::size_t bytes) {
        for (std::size_t end = at_ + bytes; at_ < end; ++at_) {
            const char c = text_[at_];
            if (c == '\n' || (c == '\r' && (at_ + 1 == text_.size() || text_[at_ + 1] != '\n'))) ++line_;
        }
    }
    // White space other than line ends; with `lines`, line ends too.
    void skip_space(bool lines) {
        while (std::size_t width = space_at(rest())) {
            if (!lines && (peek() == '\n' || peek() == '\r')) return;
            advance(width);
        }
    }
    void skip_to_line_end() {
        while (!at_line_end()) advance(1);
    }
    // Passes one line end; false when something else is there.
    bool end_line() {
        if (done()) return true;
        if (rest().starts_with("\r\n")) {
            advance(2);
        } else if (peek() == '\n' || peek() == '\r') {
            advance(1);
        } else {
            return false;
        }
        return true;
    }

    // What the loaders count as white space: Unicode's, and the four ASCII
    // separators (U+001C-U+001F).
    static std::size_t space_at(std::string_view text) noexcept {
        if (!text.empty() && text.front() >= '\x1c' && text.front() <= '\x1f') return 1;
        return unicode_space_at(text);
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
    std::size_t line_ = 1;
};

bool escaped_in(char quote, char c) noexcept {
    if (c == '\\' || c == '\'') return true;
    if (quote == '\'') return false;
    switch (c) {
        case '"':
        case 'a':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
        case 'v': return true;
        default: return false;
    }
}

char unescaped(char c) noexcept {
    switch (c) {
        case 'a': return '\a';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        case 'v': return '\v';
        default: return c;
    }
}

// A quoted value, the reader on its opening quote. The value ends at the
// first quote not written as \' or \" ; the escapes are then decoded.
Result<SecretValue> quoted_value(Reader& reader, std::size_t line) {
    const char quote = reader.peek();
    const std::string_view rest = reader.rest();
    std::size_t end = 1;
    while (end < rest.size() && rest[end] != quote) {
        end += rest[end] == '\\' && end + 1 < rest.size() && rest[end + 1] == quote ? 2 : 1;
    }
    if (end >= rest.size()) {
        return line_error(line, quote == '"' ? "unterminated double quote" : "unterminated single quote");
    }
    const std::string_view inside = rest.substr(1, end - 1);
    SecretValue value;
    value.reserve(inside.size());
    for (std::size_t i = 0; i < inside.size(); ++i) {
        if (inside[i] == '\\' && i + 1 < inside.size() && escaped_in(quote, inside[i + 1])) {
            value.push_back(static_cast<std::uint8_t>(unescaped(inside[++i])));
        } else {
            value.push_back(static_cast<std::uint8_t>(inside[i]));
        }
    }
    reader.advance(end + 1);
    return value;
}

// A bare value: the rest of the line, cut where white space is followed by
// "#", and trimmed at its end.
SecretValue bare_value(Reader& reader) {
    std::string_view line = reader.rest();
    line = line.substr(0, line.find_first_of("\r\n"));
    reader.advance(line.size());
    std::size_t end = line.size();
    for (std::size_t i = 0; i < line.size();) {
        const std::size_t width = Reader::space_at(line.substr(i));
        if (width == 0) {
            ++i;
            continue;
        }
        std::size_t after = i;
        while (std::size_t more = Reader::space_at(line.substr(after))) after += more;
        if (after < line.size() && line[after] == '#') {
            end = i;
            break;
        }
        i = after;
    }
    // Trimmed after the last byte that starts no white space.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < end;) {
        const std::size_t width = Reader::space_at(line.substr(i, end - i));
        i += width != 0 ? width : 1;
        if (width == 0) kept = i;
    }
    return SecretValue::from_text(line.substr(0, kept));
}

// The name of a binding: the text up to "=", "#" or white space.
std::string_view name_at(std::string_view rest) {
    std::size_t end = 0;
    while (end < rest.size() && rest[end] != '=' && rest[end] != '#' && Reader::space_at(rest.substr(end)) == 0) {
        ++end;
    }
    return rest.substr(0, end);
}

}  // namespace

Result<std::vector<DotenvEntry>> parse_dotenv(std::string_view text) {
    std::vector<DotenvEntry> entries;
    Reader reader(text);
    while (true) {
        reader.skip_space(true);
        if (reader.done()) break;
        const std::size_t line = reader.line();
        if (reader.peek() == '#') {
            reader.skip_to_line_end();
            continue;
        }
        if (reader.rest().starts_with("export")) {
            const std::size_t width = Reader::space_at(reader.rest().substr(6));
            if (width != 0 && reader.rest()[6] != '\n' && reader.rest()[6] != '\r') {
                reader.advance(6);
                reader.skip_space(false);
            }
        }
        const std::string_view name = name_at(reader.rest());
        if (name.empty()) return line_error(line, "expected `NAME=value`");
        if (!is_identifier(name)) return line_error(line, "the name is not a valid identifier");
        for (const auto& earlier : entries) {
            if (earlier.name == name) {
                return line_error(line, "`" + std::string(name) + "` is given twice (first on line " +
                                            std::to_string(earlier.line) + ")");
            }
        }
        reader.advance(name.size());
        reader.skip_space(false);
        if (reader.peek() != '=') return line_error(line, "`" + std::string(name) + "` has no `=`");
        reader.advance(1);
        reader.skip_space(false);

        SecretValue value;
        if (reader.peek() == '"' || reader.peek() == '\'') {
            auto quoted = quoted_value(reader, line);
            if (!quoted) return fail(std::move(quoted.error()));
            value = std::move(*quoted);
        } else if (!reader.at_line_end()) {
            value = bare_value(reader);
        }
        reader.skip_space(false);
        if (reader.peek() == '#') reader.skip_to_line_end();
        if (!reader.end_line()) return line_error(reader.line(), "unexpected text after the value");
        entries.push_back(DotenvEntry{std::string(name), std::move(value), line});
    }
    return entries;
}

}  // namespace tarnel::core
