#pragma once

// Small helpers shared by the C++ suites: temporary directories, whole-file
// reads and writes, directory listings and a clock that stands still.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "core/clock.hpp"
#include "core/coordinate.hpp"

namespace tarnel::testing {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tarnel-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

class FixedClock final : public core::Clock {
public:
    explicit FixedClock(std::uint64_t secs) : secs_(secs) {}
    std::uint64_t unix_secs() const override { return secs_; }

private:
    std::uint64_t secs_;
};

inline std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Empty for a directory that does not exist.
inline std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(dir, missing)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

inline core::Coordinate coordinate(std::string_view text) {
    auto parsed = core::Coordinate::from_str(text);
    EXPECT_TRUE(parsed) << text;
    return std::move(*parsed);
}

}  // namespace tarnel::testing
