#include "core/store/atomic_write.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/base/os_error.hpp"
#include "core/store/temp_file.hpp"

namespace tarnel::core {

Result<void> atomic_write(const std::filesystem::path& path, std::string_view bytes) {
    return atomic_write_as(path, bytes, "pending");
}

namespace {

// The private temporary of a write, filled and ready to be put in place.
Result<TempFile> filled_temp(const std::filesystem::path& path, std::string_view bytes, const std::string& what) {
    auto temp = create_temp(path);
    if (!temp) return fail(ErrorKind::Io, "write " + what + ": " + temp.error().detail());
    if (const auto failed = fill_private(*temp, bytes)) {
        const std::string step = failed->step == FillFailure::Step::Chmod ? "chmod 600" : "write " + what;
        return fail(ErrorKind::Io, step + ": " + os_error_text(failed->err));
    }
    return temp;
}

}  // namespace

Result<bool> publish_new(const std::filesystem::path& path, std::string_view bytes, std::string_view noun) {
    const std::string what(noun);
    auto temp = filled_temp(path, bytes, what);
    if (!temp) return fail(std::move(temp.error()));
    // A second name for the finished file appears atomically or not at all,
    // and link never replaces an existing name; the temporary name goes with
    // the guard.
    if (::link(temp->name.path().c_str(), path.c_str()) != 0) {
        if (errno == EEXIST) return false;
        return fail(ErrorKind::Io, "rename " + what + ": " + os_error_text(errno));
    }
    return true;
}

Result<void> atomic_write_as(const std::filesystem::path& path, std::string_view bytes, std::string_view noun) {
    const std::string what(noun);
    auto temp = filled_temp(path, bytes, what);
    if (!temp) return fail(std::move(temp.error()));
    if (std::rename(temp->name.path().c_str(), path.c_str()) != 0) {
        return fail(ErrorKind::Io, "rename " + what + ": " + os_error_text(errno));
    }
    temp->name.release();
    return {};
}

}  // namespace tarnel::core
