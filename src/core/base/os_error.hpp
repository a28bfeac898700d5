#pragma once

#include <string>

namespace tarnel::core {

// The operating system's standard text for an errno value, with its number:
// "No such file or directory (os error 2)".
std::string os_error_text(int error_number);

}  // namespace tarnel::core
