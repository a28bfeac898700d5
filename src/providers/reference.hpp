#pragma once

#include <string_view>

#include "core/base/error.hpp"

namespace tarnel::providers {

// How a scheme's references are written and named in error texts.
struct ReferenceShape {
    std::string_view scheme;       // "azure-kv"
    std::string_view first_part;   // "vault", as in "azure-kv://<vault>/<secret>"
    std::string_view first_label;  // "vault name"
};

// Views into the reference text.
struct ReferenceParts {
    std::string_view first;
    std::string_view secret;
};

// Checks the prefix and splits the rest at its first "/"; neither part may be empty.
core::Result<ReferenceParts> split_reference(std::string_view reference, const ReferenceShape& shape);

// A segment may not start with "-" (the client would read it as a flag) and
// may hold only characters the predicate allows.
core::Result<void> check_segment(std::string_view scheme, std::string_view segment, std::string_view label,
                                 std::string_view reference, bool (*allowed)(char));

inline bool is_ascii_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace tarnel::providers
