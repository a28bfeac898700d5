#pragma once

#include <filesystem>
#include <cstddef>
#include <set>
#include <string_view>

namespace tarnel::wrapper {

// The canonical absolute path when the file system can produce one, else the
// path as given.
std::filesystem::path canonical_or_owned(const std::filesystem::path& path);

// The executables trusted with high or production values, compared in
// canonical form so a link and its target are the same program.
// The allowlist file is a short list of paths; anything bigger is not one.
inline constexpr std::size_t kMaxAllowlistBytes = 1024 * 1024;

class Allowlist {
public:
    void allow(const std::filesystem::path& path);
    bool allows(const std::filesystem::path& path) const;
    bool empty() const noexcept { return paths_.empty(); }

    // One path per line; blank lines and lines starting with "#" are skipped,
    // the rest trimmed of white space. There are no inline comments.
    static Allowlist from_text(std::string_view text);
    // The file "allowlist" in the vault root. A file that cannot be read (or
    // is not UTF-8) allows nothing: running a sensitive program is the
    // exception, so a broken list must not be one.
    static Allowlist under_root(const std::filesystem::path& root);

private:
    std::set<std::filesystem::path> paths_;
};

}  // namespace tarnel::wrapper
