#pragma once

#include <filesystem>

#include "core/model/coordinate.hpp"
#include "core/base/error.hpp"
#include "core/base/fd.hpp"

namespace tarnel::core {

// <dir>/<storage-id>.sec.lock: not a record name, so listings never open it.
Result<std::filesystem::path> record_lock_path(const std::filesystem::path& dir, const Coordinate& coordinate);

// An exclusive flock on the record's lock file, held from acquire until the
// guard is dropped. Records are replaced by rename, so a reader never sees a
// torn file; what the lock adds is that a read-modify-write of one record
// (set over an existing value, a metadata edit, generate's existence check,
// delete) cannot interleave with another one and write back stale fields.
// Each acquire opens its own file description, so the lock also separates
// threads of one process. Never hold it while waiting for a human.
//
// A lock file lives only beside a record: a guard released while no record
// file exists (after a delete, or a refused first write) unlinks it first,
// and a waiter whose file was unlinked locks the fresh one instead.
class RecordLock {
public:
    // Blocks until the lock is ours. The directory must exist.
    static Result<RecordLock> acquire(const std::filesystem::path& dir, const Coordinate& coordinate);

    RecordLock(RecordLock&&) noexcept = default;
    RecordLock& operator=(RecordLock&& other) noexcept;
    ~RecordLock() { release(); }

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    RecordLock(std::filesystem::path path, std::filesystem::path record, UniqueFd fd)
        : path_(std::move(path)), record_(std::move(record)), fd_(std::move(fd)) {}
    void release() noexcept;

    std::filesystem::path path_;
    std::filesystem::path record_;
    UniqueFd fd_;
};

}  // namespace tarnel::core
