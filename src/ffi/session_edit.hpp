#pragma once

#include <optional>
#include <string_view>

#include "core/record.hpp"
#include "core/sensitivity.hpp"
#include "ffi/ffi_error.hpp"
#include "ffi/session.hpp"

namespace tarnel::ffi {

// The record with the given metadata changes, as a new value: kind, secret
// material, component, key and creation time are kept; each field given
// replaces the old one; environment and update time are always set. A
// reference may only be given for a reference secret.
FfiResult<core::SecretRecord> apply_edits(const core::SecretRecord& current,
                                          std::optional<core::Sensitivity> sensitivity, OptText description,
                                          OptText reference, std::optional<bool> revealable,
                                          std::string_view environment, std::string_view updated);

}  // namespace tarnel::ffi
