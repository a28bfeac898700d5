#pragma once

#include <dirent.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/fd.hpp"

namespace tarnel::core {

// The names a directory holds, in listing order, with a descriptor of the
// directory to open or inspect them relative to.
struct DirListing {
    UniqueFd dir;
    std::vector<std::string> names;
};

// Whether to keep an entry; may inspect it relative to dir_fd.
using EntryFilter = std::function<Result<bool>(int dir_fd, const dirent& entry)>;

// Lists the directory, keeping the entries `keep` accepts ("." and ".." never
// reach it). Nothing, not an error, when the directory cannot be stat-ed.
// Errors: "read_dir: {}" and "dir entry: {}".
Result<std::optional<DirListing>> list_dir(const std::filesystem::path& dir, const EntryFilter& keep);

}  // namespace tarnel::core
