#include "core/store/record_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "core/base/os_error.hpp"
#include "core/store/store.hpp"

namespace tarnel::core {

namespace {

namespace fs = std::filesystem;

std::unexpected<CoreError> io_error(std::string_view what, int err) {
    return fail(ErrorKind::Io, std::string(what) + ": " + os_error_text(err));
}

int lock_exclusive(int fd) noexcept {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// Whether the name still leads to the file behind fd: a delete unlinks the
// lock file, and a lock on a file nobody can open any more guards nothing.
Result<bool> still_named(int fd, const fs::path& path) {
    struct stat held{};
    if (::fstat(fd, &held) != 0) return io_error("lock record", errno);
    struct stat named{};
    if (::lstat(path.c_str(), &named) != 0) {
        if (errno == ENOENT) return false;
        return io_error("lock record", errno);
    }
    return named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

}  // namespace

Result<fs::path> record_lock_path(const fs::path& dir, const Coordinate& coordinate) {
    Result<std::string> id = coordinate.storage_id();
    if (!id) return fail(std::move(id.error()));
    return dir / (*id + ".sec.lock");
}

Result<RecordLock> RecordLock::acquire(const fs::path& dir, const Coordinate& coordinate) {
    Result<fs::path> path = record_lock_path(dir, coordinate);
    if (!path) return fail(std::move(path.error()));
    Result<fs::path> record = record_path(dir, coordinate);
    if (!record) return fail(std::move(record.error()));
    for (;;) {
        // 0600 like every file of the vault; never through a planted link.
        UniqueFd fd(::open(path->c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) return io_error("open record lock", errno);
        if (const int err = lock_exclusive(fd.get()); err != 0) return io_error("lock record", err);
        Result<bool> named = still_named(fd.get(), *path);
        if (!named) return fail(std::move(named.error()));
        if (*named) return RecordLock(std::move(*path), std::move(*record), std::move(fd));
    }
}

RecordLock& RecordLock::operator=(RecordLock&& other) noexcept {
    if (this != &other) {
        release();
        path_ = std::move(other.path_);
        record_ = std::move(other.record_);
        fd_ = std::move(other.fd_);
    }
    return *this;
}

void RecordLock::release() noexcept {
    if (!fd_) return;
    // Unlinked while still held, so no one can lock the name in between.
    struct stat info{};
    if (::lstat(record_.c_str(), &info) != 0 && errno == ENOENT) ::unlink(path_.c_str());
    fd_.reset();
}

}  // namespace tarnel::core
