#pragma once

#include <string_view>

namespace tarnel::core {

// The release's version number, taken from the build's single definition.
std::string_view version() noexcept;

}  // namespace tarnel::core
