#pragma once

// Handing the vault key from the owner's `tarnel unlock` to the server it
// starts. Nothing of the key passes through the server's environment, its
// command line or a descriptor it inherits: a fresh image can be read through
// /proc by any process of the user until it makes itself non-dumpable. So the
// server connects, once it is non-dumpable, to a socket the unlocking side
// listens on; that side sends the key only to its own child (by the peer's
// credentials), and only once it has found the child untraced and closed to
// other processes of the user.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "core/base/fd.hpp"
#include "core/keys/master_key.hpp"
#include "session/session_error.hpp"

namespace tarnel::session {

class KeyHandover {
public:
    // Listens on a socket of a random name in `dir` (a checked runtime directory).
    [[nodiscard]] static SessionResult<KeyHandover> listen(const std::filesystem::path& dir);

    KeyHandover(KeyHandover&& other) noexcept;
    KeyHandover& operator=(KeyHandover&&) = delete;
    ~KeyHandover();

    const std::filesystem::path& path() const noexcept { return path_; }

    // Waits up to `wait` for a child of `server` (the key holder it forks)
    // to connect, while `starting` says `server` has not ended, and sends it
    // the key. Connections from any other process, `server` itself included,
    // are closed unanswered. The connection stays open for the server's word
    // that it is ready.
    [[nodiscard]] SessionResult<core::UniqueFd> hand_over(pid_t server, const core::MasterKey& key,
                                                          std::chrono::milliseconds wait,
                                                          const std::function<bool()>& starting);

private:
    KeyHandover(std::filesystem::path path, core::UniqueFd listener) noexcept;

    std::filesystem::path path_;
    core::UniqueFd listener_;
};

// Fine when `pid` has no tracer, holds no capability that reads any
// process, and this process, with its effective capabilities set to exactly
// those `pid` holds, cannot open its /proc entries: which holds only for a
// process that made itself non-dumpable.
[[nodiscard]] SessionResult<void> check_closed_to_readers(pid_t pid);

// Whether the kernel keeps a process from attaching to (and opening the
// memory of) another process of its user that is not its descendant: Yama's
// ptrace_scope 1 or more. Without it, a process of the user can attach to a
// fresh image in the moment before it makes itself non-dumpable.
[[nodiscard]] bool attaching_is_restricted();

// The receiving side: reads the 32 key bytes from `fd`, refused unless this
// process is non-dumpable.
[[nodiscard]] SessionResult<core::MasterKey> receive_key(int fd);

}  // namespace tarnel::session
