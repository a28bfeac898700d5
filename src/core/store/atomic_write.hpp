#pragma once

#include <filesystem>
#include <string_view>

#include "core/base/error.hpp"

namespace tarnel::core {

// Writes bytes so that readers of path see either nothing or all of them: a
// private temporary of this writer's own beside path (see create_temp) is
// written, synced, set to 0600 and renamed onto path. Errors: "write pending:
// {}", "chmod 600: {}", "rename pending: {}"; the temporary is removed on
// every failure.
Result<void> atomic_write(const std::filesystem::path& path, std::string_view bytes);
// The same with "write {noun}: {}" and "rename {noun}: {}" texts.
Result<void> atomic_write_as(const std::filesystem::path& path, std::string_view bytes, std::string_view noun);

// Like atomic_write_as, but never replaces: false, with nothing written, when
// a file of that name already exists.
Result<bool> publish_new(const std::filesystem::path& path, std::string_view bytes, std::string_view noun);

}  // namespace tarnel::core
