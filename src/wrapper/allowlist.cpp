#include "wrapper/allowlist.hpp"

#include <fcntl.h>

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

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
