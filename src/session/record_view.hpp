#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/model/record.hpp"

namespace tarnel::session {

// The metadata of one record as a caller sees it: never a value, a seed or a
// private key, and nothing derived from them except a literal's fingerprint.
struct RecordView {
    std::string coordinate;
    std::string environment;
    std::string component;
    std::string key;
    std::string sensitivity;
    std::string mode;
    std::string fingerprint;
    std::string origin;
    std::optional<std::string> reference;
    bool revealable = false;

    friend bool operator==(const RecordView&, const RecordView&) = default;
};

// project: the project whose vault holds the record; none for the global vault.
RecordView view_of(const core::SecretRecord& record, std::optional<std::string_view> project);

}  // namespace tarnel::session
