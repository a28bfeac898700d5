#pragma once

#include <filesystem>
#include <set>

namespace tarnel::wrapper {

// The canonical absolute path when the file system can produce one, else the
// path as given.
std::filesystem::path canonical_or_owned(const std::filesystem::path& path);

// The executables trusted with high or production values, compared in
// canonical form so a link and its target are the same program.
class Allowlist {
public:
    void allow(const std::filesystem::path& path);
    bool allows(const std::filesystem::path& path) const;
    bool empty() const noexcept { return paths_.empty(); }

private:
    std::set<std::filesystem::path> paths_;
};

}  // namespace tarnel::wrapper
