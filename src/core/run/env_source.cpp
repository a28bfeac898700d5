#include "core/run/env_source.hpp"

#include <cstdlib>
#include <string>

#include "core/codec/utf8.hpp"

namespace tarnel::core {

std::optional<SecretValue> SystemEnvSource::get(std::string_view name) const {
    // getenv would read "A\0B" as "A" and match "A=B" against the entry "A=B=...".
    if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string_view::npos) {
        return std::nullopt;
    }
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    const std::string_view text(value);
    if (!is_valid_utf8(text)) return std::nullopt;
    return SecretValue::from_text(text);
}

}  // namespace tarnel::core
