#pragma once

#include <string>
#include <string_view>

namespace tarnel::core {

// Case folds of ASCII letters only; every other byte is kept as it is, so
// UTF-8 text passes through unchanged.
inline std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

inline std::string ascii_upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

}  // namespace tarnel::core
