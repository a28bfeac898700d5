#include "core/store/dir_listing.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "core/base/os_error.hpp"

namespace tarnel::core {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

std::unexpected<CoreError> io_error(std::string_view what, int err) {
    return fail(ErrorKind::Io, std::string(what) + ": " + os_error_text(err));
}

}  // namespace

Result<std::optional<DirListing>> list_dir(const std::filesystem::path& dir, const EntryFilter& keep) {
    UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd) {
        const int err = errno;
        struct stat info{};
        if (::stat(dir.c_str(), &info) != 0) return std::optional<DirListing>();
        return io_error("read_dir", err);
    }
    // The DIR stream gets a descriptor of its own; ours stays valid for the caller.
    UniqueFd stream_fd(::fcntl(dir_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!stream_fd) return io_error("read_dir", errno);
    std::unique_ptr<DIR, DirCloser> stream(::fdopendir(stream_fd.get()));
    if (!stream) return io_error("read_dir", errno);
    stream_fd.release();

    DirListing listing{std::move(dir_fd), {}};
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream.get());
        if (entry == nullptr) {
            if (errno != 0) return io_error("dir entry", errno);
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        Result<bool> kept = keep(listing.dir.get(), *entry);
        if (!kept) return fail(std::move(kept.error()));
        if (*kept) listing.names.emplace_back(name);
    }
    return std::optional<DirListing>(std::move(listing));
}

}  // namespace tarnel::core
