#pragma once

// Helpers of the core suites beyond tests/support: real child processes (the
// independent implementations under tests/interop, secret-tool, gdbus) and a
// deadline for calls that must not block.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::testing {

struct ChildResult {
    int exit_code = -1;  // -1 when it could not be started or did not exit normally
    std::string out;
};

// Runs a program (looked up in PATH) as a real child: feeds it `input` when
// there is one, and otherwise collects its stdout.
inline ChildResult run_child(const std::vector<std::string>& argv, std::string_view input = {}) {
    std::string command;
    for (const auto& arg : argv) {
        command += " '";
        for (const char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += '\'';
    }
    FILE* pipe = ::popen(command.c_str(), input.empty() ? "re" : "we");
    if (pipe == nullptr) return {};
    ChildResult result;
    char buffer[4096];
    if (!input.empty()) std::fwrite(input.data(), 1, input.size(), pipe);
    for (std::size_t got; input.empty() && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        result.out.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

// The test interpreter running tests/interop/<script> with the arguments.
inline ChildResult run_interop(const std::string& script, std::vector<std::string> args) {
    args.insert(args.begin(), {TARNEL_TEST_PYTHON, std::string(TARNEL_SOURCE_DIR) + "/tests/interop/" + script});
    return run_child(args);
}

// Runs `body` elsewhere so a call that blocks fails the test instead of hanging it.
template <class Body>
auto within_seconds(Body body) {
    auto running = std::async(std::launch::async, std::move(body));
    if (running.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "blocked";
        std::abort();  // the blocked thread cannot be joined
    }
    return running.get();
}

}  // namespace tarnel::testing
