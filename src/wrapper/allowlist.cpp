#include "wrapper/allowlist.hpp"

#include <fcntl.h>

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "core/atomic_write.hpp"
#include "core/fs.hpp"
#include "core/utf8.hpp"
#include "core/unicode_space.hpp"

namespace tarnel::wrapper {

namespace fs = std::filesystem;

fs::path canonical_or_owned(const fs::path& path) {
    std::error_code error;
    fs::path canonical = fs::canonical(path, error);
    if (error) return path;
    return canonical;
}

void Allowlist::allow(const fs::path& path) { paths_.insert(canonical_or_owned(path)); }

bool Allowlist::allows(const fs::path& path) const { return paths_.contains(canonical_or_owned(path)); }

Allowlist Allowlist::from_text(std::string_view text) {
    Allowlist allowlist;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        line = core::trim_unicode_space(line);
        if (line.empty() || line.front() == '#') continue;
        allowlist.allow(fs::path(std::string(line)));
    }
    return allowlist;
}

Allowlist Allowlist::under_root(const fs::path& root) {
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    if (core::read_regular_file(AT_FDCWD, (root / "allowlist").c_str(), kMaxAllowlistBytes, 0, bytes, size)) {
        return {};
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), size);
    if (!core::is_valid_utf8(text)) return {};
    return from_text(text);
}

}  // namespace tarnel::wrapper

namespace tarnel::wrapper {

namespace {

namespace fs = std::filesystem;

// The path a line lists; empty for blank and comment lines.
std::string_view listed_path(std::string_view line) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = core::trim_unicode_space(line);
    return line.empty() || line.front() == '#' ? std::string_view() : line;
}

}  // namespace

core::Result<AllowlistFile> AllowlistFile::load(const fs::path& root) {
    fs::path path = root / "allowlist";
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    if (const auto failed = core::read_regular_file(AT_FDCWD, path.c_str(), kMaxAllowlistBytes, 0, bytes, size)) {
        if (failed->kind == core::FileReadError::Kind::Absent) return AllowlistFile(std::move(path), {});
        return core::fail(core::ErrorKind::Io, "allowlist " + core::quoted_path(path) + ": " +
                                                   failed->text(kMaxAllowlistBytes));
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), size);
    if (!core::is_valid_utf8(text)) {
        return core::fail(core::ErrorKind::Io, "allowlist " + core::quoted_path(path) + " is not UTF-8");
    }
    std::vector<std::string> lines;
    for (std::string_view rest = text; !rest.empty();) {
        const std::size_t end = rest.find('\n');
        lines.emplace_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    return AllowlistFile(std::move(path), std::move(lines));
}

core::Result<bool> AllowlistFile::add(const fs::path& program) {
    std::error_code error;
    const fs::path canonical = fs::canonical(program, error);
    if (error) {
        return core::fail(core::ErrorKind::Io, "no such program " + core::quoted_path(program) + ": " + error.message());
    }
    for (const std::string& line : lines_) {
        const std::string_view listed = listed_path(line);
        if (!listed.empty() && canonical_or_owned(fs::path(std::string(listed))) == canonical) return false;
    }
    lines_.push_back(canonical.string());
    return true;
}

bool AllowlistFile::remove(const fs::path& program) {
    const fs::path canonical = canonical_or_owned(program);
    const auto names_program = [&](const std::string& line) {
        const std::string_view listed = listed_path(line);
        if (listed.empty()) return false;
        const fs::path path{std::string(listed)};
        return path == program || canonical_or_owned(path) == canonical;
    };
    return std::erase_if(lines_, names_program) > 0;
}

std::vector<std::string> AllowlistFile::paths() const {
    std::vector<std::string> paths;
    for (const std::string& line : lines_) {
        if (const std::string_view listed = listed_path(line); !listed.empty()) paths.emplace_back(listed);
    }
    return paths;
}

core::Result<void> AllowlistFile::save() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += line;
        text += '\n';
    }
    return core::atomic_write_as(path_, text, "allowlist");
}

}  // namespace tarnel::wrapper
