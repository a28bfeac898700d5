#include "core/store/registry.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "core/store/dir_listing.hpp"
#include "core/base/fd.hpp"
#include "core/store/fs.hpp"
#include "core/base/os_error.hpp"
#include "core/store/store.hpp"
#include "core/codec/utf8.hpp"

namespace tarnel::core {

namespace {

namespace fs = std::filesystem;

std::unexpected<CoreError> io_error(std::string_view what, int err) {
    return fail(ErrorKind::Io, std::string(what) + ": " + os_error_text(err));
}

// Decides from the entry's own type; a symbolic link is not followed.
Result<bool> is_plain_directory(int dir_fd, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
    struct stat info{};
    if (::fstatat(dir_fd, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return io_error("file_type", errno);
    return S_ISDIR(info.st_mode);
}

}  // namespace

Result<void> check_project_name(std::string_view name) {
    // Longer than any file name may be; not echoed, it may be huge.
    if (name.size() > kMaxProjectNameBytes) {
        return fail(ErrorKind::Io,
                    "invalid project name: longer than " + std::to_string(kMaxProjectNameBytes) + " bytes");
    }
    const bool single_component = !name.empty() && name != "." && name != ".." &&
                                  name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
    if (single_component) return {};
    // The name is the caller's own text, not a secret; NUL is shown escaped.
    std::string shown;
    for (const char c : name) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    return fail(ErrorKind::Io, "invalid project name `" + shown +
                                   "`: a project name must be a single path component (not empty, `.` or "
                                   "`..`, no `/` or NUL)");
}

Result<fs::path> Registry::default_root() {
    const char* home = std::getenv("HOME");
    if (home == nullptr) return fail(ErrorKind::Io, "no home directory ($HOME) set");
    return fs::path(home) / ".vaults";
}

Result<Registry> Registry::open(fs::path root) {
    Registry registry(std::move(root));
    if (Result<void> made = ensure_dir(registry.global_dir()); !made) return fail(std::move(made.error()));
    if (Result<void> made = ensure_dir(registry.projects_root()); !made) return fail(std::move(made.error()));
    return registry;
}

fs::path Registry::global_dir() const { return root_ / "global"; }

fs::path Registry::projects_root() const { return root_ / "projects"; }

fs::path Registry::project_dir(std::string_view name) const { return projects_root() / name; }

Result<fs::path> Registry::checked_project_dir(std::string_view name) const {
    if (Result<void> checked = check_project_name(name); !checked) return fail(std::move(checked.error()));
    return project_dir(name);
}

Result<std::vector<std::string>> Registry::list_projects() const {
    auto listed = list_dir(projects_root(), [](int dir_fd, const dirent& entry) -> Result<bool> {
        Result<bool> directory = is_plain_directory(dir_fd, entry);
        if (!directory) return directory;
        return *directory && is_valid_utf8(entry.d_name);
    });
    if (!listed) return fail(std::move(listed.error()));
    std::vector<std::string> names;
    if (*listed) names = std::move((*listed)->names);
    std::sort(names.begin(), names.end());  // std::string compares bytewise
    return names;
}

Result<std::optional<ResolvedRecord>> Registry::resolve_with_key(const Coordinate& coordinate,
                                                                 std::optional<std::string_view> project,
                                                                 const MasterKey& key) const {
    // A bad name is refused even when the global form makes it irrelevant:
    // it is the caller's mistake either way, and nothing has been touched yet.
    std::optional<fs::path> project_vault;
    if (project) {
        Result<fs::path> dir = checked_project_dir(*project);
        if (!dir) return fail(std::move(dir.error()));
        project_vault = std::move(*dir);
    }
    if (project_vault && !coordinate.is_global()) {
        Result<std::optional<SecretRecord>> found = read_record(*project_vault, coordinate, key);
        if (!found) return fail(std::move(found.error()));
        if (*found) {
            return std::optional<ResolvedRecord>(
                ResolvedRecord{std::move(**found), ProjectVault{std::string(*project)}});
        }
    }
    Result<std::optional<SecretRecord>> found = read_record(global_dir(), coordinate, key);
    if (!found) return fail(std::move(found.error()));
    if (!*found) return std::optional<ResolvedRecord>();
    return std::optional<ResolvedRecord>(ResolvedRecord{std::move(**found), GlobalVault{}});
}

}  // namespace tarnel::core
