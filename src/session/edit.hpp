#pragma once

#include <optional>
#include <string_view>

#include "core/model/record.hpp"
#include "core/model/sensitivity.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

// The metadata changes of one edit; each field given replaces the old one.
struct MetadataEdits {
    std::optional<core::Sensitivity> sensitivity;
    std::optional<std::string_view> description;
    std::optional<std::string_view> reference;
    std::optional<bool> revealable;
};

// The record with the edits applied, as a new value: kind, secret material,
// component, key and creation time are kept; environment and update time are
// always set. A reference may only be given for a reference secret.
SessionResult<core::SecretRecord> apply_edits(const core::SecretRecord& current, const MetadataEdits& edits,
                                              std::string_view environment, std::string_view updated);

}  // namespace tarnel::session
