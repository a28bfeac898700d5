#pragma once

// Where an unlocked server's sockets live: a directory only this user can
// enter, $XDG_RUNTIME_DIR/tarnel when the system gives the user a runtime
// directory, else "run" under the vault root. One name (a profile) has one
// socket for MCP clients, one for the owner's commands and a log.

#include <filesystem>
#include <string>
#include <string_view>

#include "session/session_error.hpp"

namespace tarnel::session {

inline constexpr std::string_view kDefaultServerName = "default";

// Letters, digits, '-' and '_', at most 32: a name becomes part of file names.
SessionResult<void> check_server_name(std::string_view name);

// Whether the system gives this user a runtime directory ($XDG_RUNTIME_DIR,
// absolute); without one the directory is under the vault root.
bool has_runtime_dir();

// The directory, made 0700 when it is missing; refused when it is a link, is
// not a directory, is not this user's own or is open to anyone else.
SessionResult<std::filesystem::path> runtime_dir(const std::filesystem::path& root);

struct ServerPaths {
    std::filesystem::path mcp;      // "NAME.sock": MCP sessions
    std::filesystem::path control;  // "NAME.ctl": status and lock
    std::filesystem::path log;      // "NAME.log": the server's standard error
};

// The paths of one name under a checked runtime directory; a socket path
// already there must be a socket of this user, not a link or another file.
SessionResult<ServerPaths> server_paths(const std::filesystem::path& dir, std::string_view name);

// Whether a file at `path` is a socket of this user that nobody answers
// (its server was killed); anything else there is left alone.
bool is_stale_socket(const std::filesystem::path& path);

}  // namespace tarnel::session
