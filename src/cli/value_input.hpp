#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/model/secret.hpp"

namespace tarnel::cli {

// A secret's value: all of standard input when that is not a terminal (one
// trailing "\n" or "\r\n" dropped), else asked without echo. Nothing is read
// past `max_bytes` + 2; a longer input is refused.
std::optional<core::SecretValue> read_value(std::string_view prompt, std::size_t max_bytes, std::string& error);

// All of a file the owner names (a pipe such as <(...) too), at most
// `max_bytes`.
std::optional<core::SecretValue> read_secret_file(const std::string& path, std::size_t max_bytes, std::string& error);

}  // namespace tarnel::cli
