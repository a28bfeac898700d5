#include "core/atomic_write.hpp"

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/os_error.hpp"
#include "core/temp_file.hpp"

namespace tarnel::core {

Result<void> atomic_write(const std::filesystem::path& path, std::string_view bytes) {
    return atomic_write_as(path, bytes, "pending");
}

Result<void> atomic_write_as(const std::filesystem::path& path, std::string_view bytes, std::string_view noun) {
    const std::string what(noun);
    auto temp = create_temp(path);
    if (!temp) return fail(ErrorKind::Io, "write " + what + ": " + temp.error().detail());
    if (const auto failed = fill_private(*temp, bytes)) {
        const std::string step = failed->step == FillFailure::Step::Chmod ? "chmod 600" : "write " + what;
        return fail(ErrorKind::Io, step + ": " + os_error_text(failed->err));
    }
    if (std::rename(temp->name.path().c_str(), path.c_str()) != 0) {
        return fail(ErrorKind::Io, "rename " + what + ": " + os_error_text(errno));
    }
    temp->name.release();
    return {};
}

}  // namespace tarnel::core
