#include "cli/value_input.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "cli/prompt.hpp"
#include "core/base/fd.hpp"
#include "core/base/os_error.hpp"
#include "core/store/fs.hpp"

#include <sodium.h>

namespace tarnel::cli {

namespace {

void drop_line_end(core::SecretValue& value) {
    const auto bytes = value.expose_secret();
    if (bytes.empty() || bytes.back() != '\n') return;
    const bool crlf = bytes.size() >= 2 && bytes[bytes.size() - 2] == '\r';
    value.truncate(bytes.size() - (crlf ? 2 : 1));
}

// All of the descriptor, up to `limit` bytes; `source` names it in errors.
std::optional<core::SecretValue> read_all(int fd, std::size_t limit, std::string_view source, std::string& error) {
    core::SecretValue value;
    std::array<std::uint8_t, 4096> chunk{};
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "reading " + std::string(source) + ": " + core::os_error_text(errno);
            ::sodium_memzero(chunk.data(), chunk.size());
            return std::nullopt;
        }
        if (n == 0) break;
        value.append(std::span<const std::uint8_t>(chunk.data(), static_cast<std::size_t>(n)));
        if (value.size() > limit) {
            error = std::string(source) + " is too long";
            ::sodium_memzero(chunk.data(), chunk.size());
            return std::nullopt;
        }
    }
    ::sodium_memzero(chunk.data(), chunk.size());
    return value;
}

}  // namespace

std::optional<core::SecretValue> read_value(std::string_view prompt, std::size_t max_bytes, std::string& error) {
    if (::isatty(STDIN_FILENO) != 1) {
        auto value = read_all(STDIN_FILENO, max_bytes + 2, "the value on standard input", error);
        if (value) drop_line_end(*value);
        return value;
    }
    PromptFailure failure;
    auto value = ask_secret(prompt, failure);
    if (!value) error = failure.text;
    return value;
}

std::optional<core::SecretValue> read_secret_file(const std::string& path, std::size_t max_bytes, std::string& error) {
    const core::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        error = core::quoted_path(path) + ": " + core::os_error_text(errno);
        return std::nullopt;
    }
    return read_all(fd.get(), max_bytes, core::quoted_path(path), error);
}

}  // namespace tarnel::cli
