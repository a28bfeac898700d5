#include "cli/prompt.hpp"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "core/base/fd.hpp"
#include "core/base/os_error.hpp"

namespace tarnel::cli {

namespace {

// Longer answers are refused rather than held: a passphrase or a pasted value
// is far below this.
constexpr std::size_t kMaxAnswerBytes = 1024 * 1024;

constexpr std::array<int, 4> kRestoringSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What the handler needs; written before the handler is installed.
volatile sig_atomic_t g_tty_fd = -1;
struct termios g_saved_mode{};

extern "C" void restore_and_reraise(int signal_number) {
    const int saved_errno = errno;
    if (g_tty_fd >= 0) {
        ::tcsetattr(g_tty_fd, TCSANOW, &g_saved_mode);
        const char newline = '\n';
        (void)!::write(g_tty_fd, &newline, 1);
    }
    // Default action, delivered once this handler returns (it is blocked now).
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
    errno = saved_errno;
}

core::UniqueFd open_terminal() { return core::UniqueFd(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)); }

bool write_text(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads up to the line end (not kept) into `out`. False on an error, on end
// of input before any line end, or on an over-long line.
bool read_line(int fd, core::SecretValue& out, PromptFailure& failure) {
    for (;;) {
        std::uint8_t byte = 0;
        const ssize_t n = ::read(fd, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure.text = "reading from the terminal: " + core::os_error_text(errno);
            return false;
        }
        if (n == 0) {
            failure.text = "no answer on the terminal (end of input)";
            return false;
        }
        if (byte == '\n') return true;
        if (out.size() >= kMaxAnswerBytes) {
            failure.text = "the answer is too long";
            return false;
        }
        out.push_back(byte);
    }
}

// Echo off for its lifetime, with the signal handlers that undo it.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd, &g_saved_mode) != 0) return;
        g_tty_fd = fd;
        struct sigaction action{};
        action.sa_handler = restore_and_reraise;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kRestoringSignals.size(); ++i) {
            ::sigaction(kRestoringSignals[i], &action, &previous_[i]);
        }
        struct termios quiet = g_saved_mode;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    ~EchoOff() {
        if (g_tty_fd < 0) return;
        ::tcsetattr(fd_, TCSAFLUSH, &g_saved_mode);
        for (std::size_t i = 0; i < kRestoringSignals.size(); ++i) {
            ::sigaction(kRestoringSignals[i], &previous_[i], nullptr);
        }
        g_tty_fd = -1;
    }
    bool active() const noexcept { return active_; }

private:
    int fd_;
    bool active_ = false;
    std::array<struct sigaction, kRestoringSignals.size()> previous_{};
};

}  // namespace

bool has_terminal() {
    const core::UniqueFd tty = open_terminal();
    return tty && ::isatty(tty.get()) == 1;
}

std::optional<core::SecretValue> ask_secret(std::string_view prompt, PromptFailure& failure) {
    const core::UniqueFd tty = open_terminal();
    if (!tty || ::isatty(tty.get()) != 1) {
        failure = PromptFailure{true, "no terminal to ask on"};
        return std::nullopt;
    }
    core::SecretValue answer;
    {
        const EchoOff quiet(tty.get());
        if (!quiet.active()) {
            failure.text = "cannot turn off echo on the terminal";
            return std::nullopt;
        }
        if (!write_text(tty.get(), prompt) || !read_line(tty.get(), answer, failure)) {
            if (failure.text.empty()) failure.text = "writing to the terminal failed";
            return std::nullopt;
        }
    }
    // A terminal in CRLF mode hands over the carriage return too.
    if (!answer.empty() && answer.expose_secret().back() == '\r') answer.truncate(answer.size() - 1);
    return answer;
}

std::optional<std::string> ask_line(std::string_view prompt, PromptFailure& failure) {
    const core::UniqueFd tty = open_terminal();
    if (!tty || ::isatty(tty.get()) != 1) {
        failure = PromptFailure{true, "no terminal to ask on"};
        return std::nullopt;
    }
    core::SecretValue line;
    if (!write_text(tty.get(), prompt) || !read_line(tty.get(), line, failure)) {
        if (failure.text.empty()) failure.text = "writing to the terminal failed";
        return std::nullopt;
    }
    std::string text(line.expose_secret_chars());
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

std::optional<core::SecretValue> ask_new_passphrase(std::string& error) {
    PromptFailure failure;
    auto first = ask_secret("New vault passphrase: ", failure);
    if (!first) {
        error = failure.no_terminal ? "no passphrase: set TARNEL_PASSPHRASE or run on a terminal" : failure.text;
        return std::nullopt;
    }
    if (first->empty()) {
        error = "the passphrase must not be empty";
        return std::nullopt;
    }
    auto second = ask_secret("Repeat the passphrase: ", failure);
    if (!second) {
        error = failure.text;
        return std::nullopt;
    }
    if (!first->same_bytes(*second)) {
        error = "the passphrases do not match";
        return std::nullopt;
    }
    return first;
}

}  // namespace tarnel::cli
