#pragma once

#include <string_view>

#include "core/base/error.hpp"

namespace tarnel::providers {

// Whether a provider would accept the reference: its scheme is one we serve
// and the provider's own parser takes it. Nothing is fetched.
core::Result<void> check_reference(std::string_view reference);

}  // namespace tarnel::providers
