#include "core/base/os_error.hpp"

#include <cstring>

namespace tarnel::core {

std::string os_error_text(int error_number) {
    char buffer[256];
    // The GNU variant may return a static string instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* text = ::strerror_r(error_number, buffer, sizeof buffer);
#else
    const char* text = ::strerror_r(error_number, buffer, sizeof buffer) == 0 ? buffer : "unknown error";
#endif
    return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace tarnel::core
