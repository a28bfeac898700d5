#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/model/coordinate.hpp"
#include "core/base/error.hpp"
#include "core/keys/master_key.hpp"
#include "core/model/record.hpp"

namespace tarnel::core {

struct GlobalVault {
    friend bool operator==(const GlobalVault&, const GlobalVault&) = default;
};

struct ProjectVault {
    std::string name;
    friend bool operator==(const ProjectVault&, const ProjectVault&) = default;
};

// Where a resolved record was found.
using VaultLocation = std::variant<GlobalVault, ProjectVault>;

struct ResolvedRecord {
    SecretRecord record;
    VaultLocation location;
};

// A project name is one file name.
inline constexpr std::size_t kMaxProjectNameBytes = 255;

// Refuses a project name that is not exactly one ordinary path component
// under projects/: empty, ".", "..", or containing "/" or NUL.
Result<void> check_project_name(std::string_view name);

// The layout of one vault root: global/ and projects/<name>/, each a record
// store directory. Holds no state beyond the root, so it may be shared freely.
class Registry {
public:
    // $HOME/.vaults
    static Result<std::filesystem::path> default_root();
    // Creates global/ and projects/ (0700) when missing.
    static Result<Registry> open(std::filesystem::path root);

    const std::filesystem::path& root() const noexcept { return root_; }
    std::filesystem::path global_dir() const;
    std::filesystem::path projects_root() const;
    // Joins the name unchecked; anything that reaches the disk goes through
    // checked_project_dir instead.
    std::filesystem::path project_dir(std::string_view name) const;
    Result<std::filesystem::path> checked_project_dir(std::string_view name) const;

    // Subdirectories of projects/ (no symbolic links), UTF-8 names, in byte order.
    Result<std::vector<std::string>> list_projects() const;

    // A project's record shadows the global one; the secret://global/ form
    // always reads the global vault. A damaged project record is an error and
    // does not fall through to the global vault.
    Result<std::optional<ResolvedRecord>> resolve_with_key(const Coordinate& coordinate,
                                                           std::optional<std::string_view> project,
                                                           const MasterKey& key) const;

private:
    explicit Registry(std::filesystem::path root) : root_(std::move(root)) {}
    std::filesystem::path root_;
};

}  // namespace tarnel::core
