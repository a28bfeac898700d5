#pragma once

// Small helpers shared by the C++ suites: temporary directories, whole-file
// reads and writes, directory listings, a clock that stands still and an
// environment variable set for a scope.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "core/oversight/clock.hpp"
#include "core/model/coordinate.hpp"
#include "core/oversight/answer_proof.hpp"
#include "core/keys/master_key.hpp"
#include "core/keys/proof.hpp"
#include "core/model/record.hpp"

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

// Sets (or, with nullopt, removes) one variable of this process's environment
// and puts the old state back when it goes; children started meanwhile
// inherit the change.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* old = ::getenv(name_.c_str())) old_ = old;
        apply(value);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() { apply(old_); }

private:
    void apply(const std::optional<std::string>& value) const {
        value ? ::setenv(name_.c_str(), value->c_str(), 1) : ::unsetenv(name_.c_str());
    }

    std::string name_;
    std::optional<std::string> old_;
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
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_file(const fs::path& path, std::string_view bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// Empty for a directory that does not exist.
inline std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(dir, missing)) names.insert(entry.path().filename().string());
    return names;
}

inline core::Coordinate coordinate(std::string_view text) {
    auto parsed = core::Coordinate::from_str(text);
    EXPECT_TRUE(parsed) << text;
    return std::move(*parsed);
}

inline std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Permission bits only.
inline mode_t mode_of(const fs::path& path) {
    struct stat info{};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// A key whose bytes count up from `fill`, so different fills give different keys.
inline core::MasterKey key_of(std::uint8_t fill) {
    std::array<std::uint8_t, core::MasterKey::kSize> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(fill + i);
    return core::MasterKey(bytes);
}

// Stands, in scripted answers, for the owner's genuine approval of the
// request seen (see owner_approval).
inline constexpr std::string_view kOwnerApproves = "<the owner approves>";

// What the owner's tool writes to approve the pending request whose file
// text is given, with the vault key; "unsealed" when the text carries no
// proof the key verifies.
inline std::string owner_approval(std::string_view request_text, const core::MasterKey& key) {
    const auto request_key = core::ProofKey::derive(key, core::ProofPurpose::Request);
    const auto answer_key = core::ProofKey::derive(key, core::ProofPurpose::Answer);
    const auto seal = core::check_sealed_object(request_text, *request_key);
    if (seal.state != core::SealState::Sealed) return "unsealed";
    return core::approval_answer(seal.mac, *answer_key);
}

// A medium, revealable literal record stored at `at`.
inline core::SecretRecord literal(const core::Coordinate& at, std::string_view value) {
    return core::SecretRecord{core::LiteralRecord{core::SecretValue::from_text(value)},
                              core::RecordMetadata{.sensitivity = core::Sensitivity::Medium,
                                                   .revealable = true,
                                                   .environment = std::string(at.environment().name()),
                                                   .component = at.component(),
                                                   .key = at.key(),
                                                   .description = std::nullopt,
                                                   .created = "2026-01-01T00:00:00Z",
                                                   .updated = "2026-01-01T00:00:00Z"}};
}

inline std::string literal_value(const core::SecretRecord& record) {
    return std::string(std::get<core::LiteralRecord>(record.kind).value.expose_secret_chars());
}

// Request identifiers (confirmations, intakes) are "<secs>-<pid>-<counter>".
inline std::uint64_t counter_of(const std::string& id) { return std::stoull(id.substr(id.rfind('-') + 1)); }

inline std::string id_for(std::uint64_t secs, std::uint64_t counter) {
    return std::to_string(secs) + '-' + std::to_string(::getpid()) + '-' + std::to_string(counter);
}

// Waits until a lock request on the file is blocked: /proc/locks lists a
// waiting request with "->" and the file as dev:inode. Lets a test know where
// another thread or process stands without sleeping and hoping.
inline bool someone_waits_on(const fs::path& path, std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return false;
    const std::string inode = ":" + std::to_string(info.st_ino) + " ";
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

}  // namespace tarnel::testing
