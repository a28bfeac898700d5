#pragma once

// The executors trusted with high and production values. Each entry is a run
// profile: the program (compared in canonical form, so a link and its target
// are the same program), the arguments it may be given, and the names of the
// variables the caller may set for it. The file "allowlist" in the vault root
// is one JSON object sealed with the vault key's allowlist subkey; a file
// without a valid seal allows nothing, so whoever can write under the root
// without the key cannot add to it.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/base/error.hpp"
#include "core/keys/master_key.hpp"

namespace tarnel::wrapper {

// The canonical absolute path when the file system can produce one, else the
// path as given.
std::filesystem::path canonical_or_owned(const std::filesystem::path& path);

// The allowlist file is a short list of profiles; anything bigger is not one.
inline constexpr std::size_t kMaxAllowlistBytes = 1024 * 1024;

struct AllowEntry {
    std::filesystem::path program;       // canonical
    std::vector<std::string> arguments;  // exactly these, or the first ones when more_arguments
    bool more_arguments = true;
    std::vector<std::string> variables;  // the names a caller may set

    // `executable` in canonical form, as entries are stored.
    bool matches(const std::filesystem::path& executable, const std::vector<std::string>& args) const;
    bool permits(std::string_view name) const;
    // As the owner writes it: "/usr/bin/git --env GIT_DIR -- status *".
    std::string shown() const;
    bool operator==(const AllowEntry&) const = default;
};

// Whether a program runs commands taken from its arguments, its environment
// or files it reads (shells, interpreters, git, make, ...): such an entry
// needs exact arguments and few variables to mean anything.
bool runs_commands(const std::filesystem::path& program);

// Variables that change what a program loads or runs (the dynamic loader's,
// an interpreter's start-up hooks, PATH, git's configuration). In a gated run
// even a vault value under such a name needs the entry's permission, since
// an agent can write the value it holds.
bool steers_programs(std::string_view name);

// One variable of a run as the gate sees it.
struct RunVariable {
    std::string_view name;
    bool from_vault;
};

namespace verdict {
struct Admitted {};
struct NotListed {};       // no entry for the program
struct OtherArguments {};  // entries for the program, none for these arguments
struct NotPermitted {      // a variable no matching entry permits
    std::string name;
};
struct NotSealed {};  // the file is there, but not as the vault key sealed it
}  // namespace verdict
using AllowVerdict = std::variant<verdict::Admitted, verdict::NotListed, verdict::OtherArguments, verdict::NotPermitted,
                                  verdict::NotSealed>;

class Allowlist {
public:
    void allow(AllowEntry entry) { entries_.push_back(std::move(entry)); }

    AllowVerdict admits(const std::filesystem::path& executable, const std::vector<std::string>& args,
                        const std::vector<RunVariable>& variables) const;

    // The file under the root as the key sealed it. An absent file is an
    // empty list; one that cannot be read, does not parse or whose seal is
    // missing or wrong allows nothing and says so when asked.
    static Allowlist under_root(const std::filesystem::path& root, const core::MasterKey& key);

private:
    std::vector<AllowEntry> entries_;
    bool sealed_ = true;
};

// What the file holds, read without the key.
struct AllowlistContents {
    enum class Form {
        Absent,
        Sealed,   // the sealed form; whether the seal is good needs the key
        Earlier,  // one path a line, from before profiles and seals
    } form = Form::Absent;
    std::vector<AllowEntry> entries;
    std::string text;  // the file's bytes, for checking the seal
};

// Errors (Io kind) name the file: not a regular file, too large, not UTF-8,
// neither form.
core::Result<AllowlistContents> read_allowlist(const std::filesystem::path& root);
// Whether the contents are what this key sealed; false for the earlier form.
bool sealed_by(const AllowlistContents& contents, const core::MasterKey& key);
// The file's bytes for the entries sealed under the key.
core::Result<std::string> sealed_allowlist_text(const std::vector<AllowEntry>& entries, const core::MasterKey& key);
// Replaces the file atomically (0600) with the entries sealed under the key.
core::Result<void> write_allowlist(const std::filesystem::path& root, const std::vector<AllowEntry>& entries,
                                   const core::MasterKey& key);

}  // namespace tarnel::wrapper
