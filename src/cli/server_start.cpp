#include "cli/server_start.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fmt/format.h>
#include <string_view>

#include "cli/server_control.hpp"
#include "core/base/fd.hpp"
#include "core/base/os_error.hpp"

extern char** environ;

namespace tarnel::cli {

namespace fs = std::filesystem;

session::SessionResult<std::string> server_interpreter() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    const fs::path script = self.parent_path() / "tarnel-mcp";
    auto missing = [&](std::string_view why) {
        return session::fail(session::SessionError::other(fmt::format(
            "{} {}; reinstall tarnel (pip install .) so that tarnel-mcp is beside tarnel", script.string(), why)));
    };
    if (error) return missing("cannot be found");
    core::UniqueFd fd(::open(script.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return missing(fmt::format("cannot be read ({})", core::os_error_text(errno)));
    char head[512];
    const ssize_t n = ::read(fd.get(), head, sizeof head - 1);
    const std::string_view text(head, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (!text.starts_with("#!/")) return missing("does not start with #!/path/to/python");
    std::string interpreter(text.substr(2, text.find_first_of(" \t\r\n") - 2));
    if (::access(interpreter.c_str(), X_OK) != 0)
        return missing(fmt::format("names {}, which cannot run", interpreter));
    return interpreter;
}

namespace {

std::vector<char*> server_environment() {
    std::vector<char*> kept;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view item(*entry);
        if (item.starts_with("TARNEL_PASSPHRASE=") || item.starts_with("PYTHON") || item.starts_with("LD_")) continue;
        kept.push_back(*entry);
    }
    kept.push_back(nullptr);
    return kept;
}

}  // namespace

session::SessionResult<pid_t> spawn_server(const std::vector<std::string>& arguments, const fs::path& log) {
    // A fresh file: what was there (a hard link to another file, a FIFO) is
    // unlinked, never written or opened.
    ::unlink(log.c_str());
    core::UniqueFd log_fd(::open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!log_fd) {
        return session::fail(
            session::SessionError::other(fmt::format("creating {}: {}", log.string(), core::os_error_text(errno))));
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, log_fd.get(), STDERR_FILENO);
    // Its own session: the terminal's hangup and Ctrl-C are not the server's.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, number);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &defaults);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    auto env = server_environment();
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), env.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        return session::fail(
            session::SessionError::other(fmt::format("starting {}: {}", arguments[0], core::os_error_text(error))));
    }
    return pid;
}

std::string log_text(const fs::path& log) {
    std::string text = read_file_head(log, 16384);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

bool SpawnedServer::running() {
    if (pid < 0) return false;
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno == ECHILD)) {
        if (done == pid && WIFEXITED(status)) exit_code = WEXITSTATUS(status);
        pid = -1;
        return false;
    }
    return true;
}

void SpawnedServer::stop() {
    if (!running()) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

}  // namespace tarnel::cli
