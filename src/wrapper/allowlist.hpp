#pragma once

#include <filesystem>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

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

// The allowlist file as its owner edits it: paths are added in canonical form
// and comment lines stay where they are. Nothing is written until save().
class AllowlistFile {
public:
    // The file under the root; an absent file is an empty one. A file that is
    // not a regular file, too large or not UTF-8 is refused, not rewritten.
    static core::Result<AllowlistFile> load(const std::filesystem::path& root);

    // False when the program is already listed. The program must exist: only
    // a path the file system resolves has a canonical form.
    core::Result<bool> add(const std::filesystem::path& program);
    // Removes every line naming the program, as given or in canonical form;
    // false when none did.
    bool remove(const std::filesystem::path& program);
    // The listed paths, in file order.
    std::vector<std::string> paths() const;

    // Replaces the file atomically, 0600.
    core::Result<void> save() const;

private:
    AllowlistFile(std::filesystem::path path, std::vector<std::string> lines)
        : path_(std::move(path)), lines_(std::move(lines)) {}

    std::filesystem::path path_;
    std::vector<std::string> lines_;
};

}  // namespace tarnel::wrapper
