#pragma once

// What every benchmark needs: stopping with a message, unwrapping core
// results, timing a body, the median of samples, the machine it ran on, and
// a literal record to store.

#include <errno.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "core/model/coordinate.hpp"
#include "core/base/error.hpp"
#include "core/model/record.hpp"

namespace tarnel::bench {

[[noreturn]] inline void die(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
    std::exit(1);
}

template <class T>
T check(core::Result<T> result, const char* what) {
    if (!result) die(std::string(what) + ": " + result.error().display());
    return std::move(*result);
}

inline void check(core::Result<void> result, const char* what) {
    if (!result) die(std::string(what) + ": " + result.error().display());
}

inline double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

template <class F>
double micros(F&& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

inline std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("model name")) return line.substr(line.find(':') + 2);
    }
    return "unknown CPU";
}

// "x86_64, AMD EPYC ..., 2 online CPUs, Linux 6.1.0"
inline std::string machine() {
    struct utsname name{};
    ::uname(&name);
    return std::string(name.machine) + ", " + cpu_model() + ", " + std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) +
           " online CPUs, " + name.sysname + " " + name.release;
}

inline core::SecretRecord literal(const core::Coordinate& at, std::string value) {
    return core::SecretRecord{core::LiteralRecord{core::SecretValue::take(std::move(value))},
                              core::RecordMetadata{.sensitivity = core::Sensitivity::Medium,
                                                   .revealable = false,
                                                   .environment = std::string(at.environment().name()),
                                                   .component = at.component(),
                                                   .key = at.key(),
                                                   .description = std::nullopt,
                                                   .created = "2026-01-01T00:00:00Z",
                                                   .updated = "2026-01-01T00:00:00Z"}};
}

}  // namespace tarnel::bench
