#pragma once

// Starting the server `tarnel unlock` hands the key to.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "session/session_error.hpp"

namespace tarnel::cli {

// The interpreter the `tarnel-mcp` beside this program names (both are
// installed into one environment's bin), never one found on PATH, which a
// process of the user can put a program of its own on.
session::SessionResult<std::string> server_interpreter();

// Started in a session of its own, with standard error to `log` (a fresh
// file) and an environment without TARNEL_PASSPHRASE, PYTHON* and LD_*: what
// would make Python or the loader run code from elsewhere before the server
// has made itself non-dumpable (PYTHONPATH into a tree the agent writes is
// enough).
session::SessionResult<pid_t> spawn_server(const std::vector<std::string>& arguments, const std::filesystem::path& log);

// The spawned process, stopped (SIGTERM) unless it has ended.
class SpawnedServer {
public:
    pid_t pid = -1;
    // Its exit status once reaped, if it exited.
    std::optional<int> exit_code;
    // True while the server runs, reaping it when it has ended.
    bool running();
    void stop();
};

// What the server wrote to its log, without trailing line ends.
std::string log_text(const std::filesystem::path& log);

}  // namespace tarnel::cli
