#include "core/base/version.hpp"

namespace tarnel::core {

std::string_view version() noexcept { return TARNEL_VERSION; }

}  // namespace tarnel::core
