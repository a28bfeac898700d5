#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "core/base/error.hpp"
#include "core/base/fd.hpp"

namespace tarnel::core {

// Removes a temporary name on every early return; release() once it has been
// renamed away.
class TempName {
public:
    explicit TempName(std::filesystem::path path) : path_(std::move(path)) {}
    TempName(TempName&& other) noexcept;
    TempName& operator=(TempName&&) = delete;
    ~TempName();
    const std::filesystem::path& path() const noexcept { return path_; }
    void release() noexcept { armed_ = false; }

private:
    std::filesystem::path path_;
    bool armed_ = true;
};

// A temporary file beside the file it will replace, private from its first
// moment and named for this process, thread and call
// ("<final>.tmp.<pid>.<tid>.<n>"), so concurrent writers never share one and
// nothing left by another process is reused.
struct TempFile {
    TempName name;
    UniqueFd fd;
};

// The error is the errno value of the failed creation.
Result<TempFile> create_temp(const std::filesystem::path& final_path);

// A unique name beside `final_path` in the same form, not created.
std::filesystem::path unique_temp_path(const std::filesystem::path& final_path);

// Which step of fill_private failed, and why.
struct FillFailure {
    enum class Step { Write, Sync, Chmod, Close } step;
    int err;
};

// Writes every byte, flushes them to stable storage, sets exactly 0600 (the
// umask may have cleared creation bits) and closes the descriptor; after it
// the temporary is ready to be renamed into place.
std::optional<FillFailure> fill_private(TempFile& file, std::string_view bytes);

}  // namespace tarnel::core
