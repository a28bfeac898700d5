#include "core/store/temp_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <utility>

#include "core/store/fs.hpp"
#include "core/base/os_error.hpp"

namespace tarnel::core {

namespace fs = std::filesystem;

TempName::TempName(TempName&& other) noexcept
    : path_(std::move(other.path_)), armed_(std::exchange(other.armed_, false)) {}

TempName::~TempName() {
    if (armed_) ::unlink(path_.c_str());
}

fs::path unique_temp_path(const fs::path& final_path) {
    static std::atomic<std::uint64_t> counter{0};
    fs::path temp = final_path;
    temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(::gettid()) + "." +
            std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    return temp;
}

Result<TempFile> create_temp(const fs::path& final_path) {
    // A leftover of an earlier process that had the same pid and thread id is
    // never reused: O_EXCL refuses it and the next counter value is tried.
    // O_EXCL also refuses a symbolic link planted under the name.
    for (int attempt = 0;; ++attempt) {
        fs::path path = unique_temp_path(final_path);
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd) return TempFile{TempName(std::move(path)), std::move(fd)};
        if (errno != EEXIST || attempt == 100) return fail(ErrorKind::Io, os_error_text(errno));
    }
}

std::optional<FillFailure> fill_private(TempFile& file, std::string_view bytes) {
    using Step = FillFailure::Step;
    if (const int err = write_all(file.fd.get(), bytes); err != 0) return FillFailure{Step::Write, err};
    // Synced before any rename, so a crash never exposes a half-written file.
    if (const int err = full_sync(file.fd.get()); err != 0) return FillFailure{Step::Sync, err};
    if (::fchmod(file.fd.get(), 0600) != 0) return FillFailure{Step::Chmod, errno};
    if (::close(file.fd.release()) != 0) return FillFailure{Step::Close, errno};
    return std::nullopt;
}

}  // namespace tarnel::core
