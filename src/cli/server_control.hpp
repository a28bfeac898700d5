#pragma once

// Finding the unlocked servers of a vault and asking them, for `tarnel lock`
// and `tarnel status`: through a server's control socket, and by the command
// lines /proc shows even for a non-dumpable process, so a server whose
// sockets were renamed away is still found.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <rapidjson/document.h>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/fd.hpp"
#include "session/runtime_dir.hpp"

namespace tarnel::cli {

// A connection to the socket, or none when nobody answers there.
core::UniqueFd connect_to(const std::filesystem::path& path);

// One line from `fd` without its line end, waiting at most `wait`.
std::optional<std::string> read_line(int fd, std::chrono::milliseconds wait);

// The server's answer to "status" or "lock", parsed; none when nobody answers.
std::optional<rapidjson::Document> ask_server(const session::ServerPaths& paths, std::string_view word);

// At most `limit` bytes of a file, never through a link; empty when it cannot be read.
std::string read_file_head(const std::filesystem::path& path, std::size_t limit);

struct ServerProcess {
    pid_t pid;
    std::string name;
};

// The processes of this user serving `root`, by their command lines.
std::vector<ServerProcess> server_processes(const std::filesystem::path& root);

// The key holder among a name's processes: the child of the process tarnel
// started, else that process.
std::optional<pid_t> key_holder(const std::vector<ServerProcess>& processes, std::string_view name);

pid_t parent_pid(pid_t pid);
// Gone, or a zombie its new parent has not reaped yet.
bool ended(pid_t pid);

}  // namespace tarnel::cli
