#pragma once

// Shared by the write, edit and request suites: audit lines as fields, error
// inspection, a scripted confirmer, and a human answering through pending/.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "core/confirm.hpp"
#include "core/fingerprint.hpp"
#include "session_fixture.hpp"

namespace tarnel::ffi::writes {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct AuditLine {
    std::string action;
    std::string result;
    std::string coordinate;
    std::string environment;
    std::string origin;
};

inline std::string member_text(const rapidjson::Value& object, const char* name) {
    const auto found = object.FindMember(name);
    if (found == object.MemberEnd() || !found->value.IsString()) return "<absent>";
    return {found->value.GetString(), found->value.GetStringLength()};
}

inline std::vector<AuditLine> audit_events(const fixture::TempVault& vault) {
    std::vector<AuditLine> events;
    for (const std::string& line : vault.audit_lines()) {
        rapidjson::Document doc;
        doc.Parse(line.c_str(), line.size());
        if (doc.HasParseError() || !doc.IsObject()) {
            ADD_FAILURE() << "audit line is not a JSON object";
            continue;
        }
        events.push_back({member_text(doc, "action"), member_text(doc, "result"), member_text(doc, "coordinate"),
                          member_text(doc, "environment"), member_text(doc, "origin")});
    }
    return events;
}

// "action/result" of every line, in log order.
inline std::vector<std::string> audit_words(const fixture::TempVault& vault) {
    std::vector<std::string> words;
    for (const AuditLine& event : audit_events(vault)) words.push_back(event.action + "/" + event.result);
    return words;
}

inline bool is_not_found(const FfiError& error) { return std::holds_alternative<FfiError::NotFound>(error.kind()); }

inline std::optional<std::string> other_text(const FfiError& error) {
    if (const auto* other = std::get_if<FfiError::Other>(&error.kind())) return other->text;
    return std::nullopt;
}

inline std::optional<std::string> denied_text(const FfiError& error) {
    if (const auto* denied = std::get_if<FfiError::Denied>(&error.kind())) return denied->text;
    return std::nullopt;
}

inline std::optional<core::CoreError> core_error(const FfiError& error) {
    if (const auto* core = std::get_if<core::CoreError>(&error.kind())) return *core;
    return std::nullopt;
}

inline std::string literal_text(const core::SecretRecord& record) {
    return std::string(std::get<core::LiteralRecord>(record.kind).value.expose_secret_chars());
}

inline std::string fingerprint_text(std::string_view text) {
    return core::fingerprint({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

inline std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) names.insert(entry.path().filename().string());
    return names;
}

inline mode_t mode_of(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

// How many lock requests wait on the file, from /proc/locks, where a
// blocked request is listed with "->" and the file as dev:inode.
inline int blocked_lock_waiters(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0;
    const std::string inode = ":" + std::to_string(info.st_ino) + " ";
    std::ifstream locks("/proc/locks");
    int waiting = 0;
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) ++waiting;
    }
    return waiting;
}

// Waits until someone is blocked on the lock file, so a test knows where the
// other thread stands instead of guessing with a sleep.
inline bool someone_waits_on(const fs::path& path, std::chrono::milliseconds wait = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (blocked_lock_waiters(path) > 0) return true;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

// Answers with a fixed decision and remembers what it was asked. The hook
// runs while the "human" is deciding, to change the vault meanwhile.
class MockConfirmer final : public core::Confirmer {
public:
    explicit MockConfirmer(core::Decision answer, std::function<void()> while_waiting = {})
        : answer_(answer), while_waiting_(std::move(while_waiting)) {}

    core::Decision confirm(const core::ConfirmRequest& request, std::chrono::milliseconds timeout) const override {
        {
            std::lock_guard guard(mutex_);
            requests_.push_back(request);
            timeouts_.push_back(timeout);
        }
        if (while_waiting_) while_waiting_();
        return answer_;
    }

    std::vector<core::ConfirmRequest> requests() const {
        std::lock_guard guard(mutex_);
        return requests_;
    }
    std::vector<std::chrono::milliseconds> timeouts() const {
        std::lock_guard guard(mutex_);
        return timeouts_;
    }

private:
    core::Decision answer_;
    std::function<void()> while_waiting_;
    mutable std::mutex mutex_;
    mutable std::vector<core::ConfirmRequest> requests_;
    mutable std::vector<std::chrono::milliseconds> timeouts_;
};

// A human at the other end of the pending directory: waits for one request
// file, keeps its JSON, and answers by writing ID.decision (whole, by rename,
// as a tool would). No answer when decision is absent.
class ScriptedHuman {
public:
    ScriptedHuman(fs::path pending, std::optional<std::string> decision)
        : pending_(std::move(pending)), decision_(std::move(decision)), thread_([this] { run(); }) {}
    ~ScriptedHuman() {
        stop_ = true;
        thread_.join();
    }
    ScriptedHuman(const ScriptedHuman&) = delete;
    ScriptedHuman& operator=(const ScriptedHuman&) = delete;

    // The request file's name and content, once seen.
    std::optional<std::pair<std::string, std::string>> seen() {
        std::lock_guard guard(mutex_);
        return seen_;
    }

private:
    void run() {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            for (const std::string& name : names_in(pending_)) {
                if (!name.ends_with(".json")) continue;
                auto json = fixture::read_file(pending_ / name);
                if (!json) continue;
                {
                    std::lock_guard guard(mutex_);
                    seen_.emplace(name, *json);
                }
                if (decision_) {
                    const std::string id = name.substr(0, name.size() - 5);
                    const fs::path scratch = pending_ / (id + ".human");
                    fixture::write_file(scratch, *decision_);
                    fs::rename(scratch, pending_ / (id + ".decision"));
                }
                return;
            }
            std::this_thread::sleep_for(2ms);
        }
    }

    fs::path pending_;
    std::optional<std::string> decision_;
    std::atomic<bool> stop_ = false;
    std::mutex mutex_;
    std::optional<std::pair<std::string, std::string>> seen_;
    std::thread thread_;
};

}  // namespace tarnel::ffi::writes
