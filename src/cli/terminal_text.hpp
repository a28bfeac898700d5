#pragma once

#include <string>
#include <string_view>

namespace tarnel::cli {

// Texts an agent wrote reach the owner's terminal: control characters and
// bidirectional overrides are shown escaped, so nothing can hide or rewrite
// what the owner reads.
std::string terminal_safe(std::string_view text);

}  // namespace tarnel::cli
