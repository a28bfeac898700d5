#pragma once

// Shared by the session suites: a throw-away vault root keyed by a passphrase,
// records written straight through the store, the audit log as
// "action/result" words, a confirmer whose "human" can change the vault while
// deciding, and a human answering through pending/.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "core/oversight/confirm.hpp"
#include "core/keys/crypto.hpp"
#include "core/keys/keyring.hpp"
#include "core/keys/master_key.hpp"
#include "core/model/record.hpp"
#include "core/model/scope.hpp"
#include "core/model/secret.hpp"
#include "core/store/store.hpp"
#include "session/session.hpp"
#include "support/test_support.hpp"

namespace tarnel::session::fixture {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::coordinate;
using testing::names_in;
using testing::someone_waits_on;
using testing::read_file;
using testing::write_file;

inline constexpr std::string_view kPassphrase = "correct horse battery staple";
inline constexpr std::string_view kStamp = "2026-01-02T03:04:05Z";

// 00 01 .. 0f, the same salt as tests/python/vaultkit.py.
inline std::vector<std::uint8_t> test_salt() {
    std::vector<std::uint8_t> salt(16);
    for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(i);
    return salt;
}

// The key kPassphrase and test_salt() give, derived once per test process.
inline const core::MasterKey& test_key() {
    static const core::MasterKey key = [] {
        auto keyring = core::Argon2Keyring::create(core::SecretValue::from_text(kPassphrase), test_salt());
        if (!keyring) throw std::runtime_error(keyring.error().display());
        auto derived = keyring->get_master_key();
        if (!derived) throw std::runtime_error(derived.error().display());
        return std::move(*derived);
    }();
    return key;
}

// A scope from operation words and optional project / environment name sets
// (nullopt: any).
inline core::AgentScope scope_of(std::initializer_list<core::Operation> operations,
                                 std::optional<std::set<std::string, std::less<>>> projects = std::nullopt,
                                 std::optional<std::set<std::string, std::less<>>> environments = std::nullopt) {
    core::AgentScope scope;
    for (auto operation : operations) scope.operations.insert(operation);
    scope.projects = projects ? core::ScopeFilter::only(std::move(*projects)) : core::ScopeFilter::any();
    scope.environments =
        environments ? core::ScopeFilter::only(std::move(*environments)) : core::ScopeFilter::any();
    return scope;
}

inline core::AgentScope all_operations() {
    using core::Operation;
    return scope_of({Operation::Metadata, Operation::Inject, Operation::Reveal, Operation::Write});
}

// A literal at "env/component/key".
inline core::SecretRecord literal(std::string_view path, std::string_view value,
                                  core::Sensitivity sensitivity = core::Sensitivity::Low, bool revealable = true) {
    core::RecordMetadata m;
    const auto first = path.find('/');
    const auto second = path.find('/', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos)
        throw std::invalid_argument("path must be env/component/key");
    m.sensitivity = sensitivity;
    m.revealable = revealable;
    m.environment = std::string(path.substr(0, first));
    m.component = std::string(path.substr(first + 1, second - first - 1));
    m.key = std::string(path.substr(second + 1));
    m.created = std::string(kStamp);
    m.updated = std::string(kStamp);
    return {core::LiteralRecord{core::SecretValue::from_text(value)}, std::move(m)};
}

inline std::string literal_text(const core::SecretRecord& record) {
    return std::string(std::get<core::LiteralRecord>(record.kind).value.expose_secret_chars());
}

inline bool is_not_found(const SessionError& error) { return std::holds_alternative<SessionError::NotFound>(error.kind()); }

inline std::optional<std::string> other_text(const SessionError& error) {
    if (const auto* other = std::get_if<SessionError::Other>(&error.kind())) return other->text;
    return std::nullopt;
}

inline std::optional<std::string> denied_text(const SessionError& error) {
    if (const auto* denied = std::get_if<SessionError::Denied>(&error.kind())) return denied->text;
    return std::nullopt;
}

// Sets or unsets one environment variable for a scope and restores it after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string_view> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = std::string(old);
        if (value) {
            ::setenv(name, std::string(*value).c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A vault root holding "kdf.salt" inside a temporary directory. TARNEL_VAULT_DIR
// and TARNEL_PASSPHRASE are cleared for its lifetime so no test reaches a
// developer's real vault.
class TempVault {
public:
    TempVault() : vault_dir_env_("TARNEL_VAULT_DIR", std::nullopt), passphrase_env_("TARNEL_PASSPHRASE", std::nullopt) {
        root_ = base() / "vault";
        fs::create_directory(root_);
        write_salt(test_salt());
    }

    // A private scratch directory beside the root, removed with it.
    const fs::path& base() const noexcept { return base_.path(); }
    const fs::path& root() const noexcept { return root_; }

    void write_salt(const std::vector<std::uint8_t>& salt) const {
        write_file(root_ / "kdf.salt", std::string_view(reinterpret_cast<const char*>(salt.data()), salt.size()));
    }

    SessionResult<Session> open(core::AgentScope scope, std::optional<std::string_view> passphrase = kPassphrase,
                                SessionHooks hooks = {}) const {
        std::optional<core::SecretValue> secret;
        if (passphrase) secret = core::SecretValue::from_text(*passphrase);
        return Session::open(VaultOptions{root_, std::move(secret)}, Principal::agent(std::move(scope)),
                             std::move(hooks));
    }

    // open() that must succeed.
    Session session(core::AgentScope scope = all_operations(), SessionHooks hooks = {}) const {
        return session_as(Principal::agent(std::move(scope)), std::move(hooks));
    }

    // A session of any principal (a human at a terminal or not) that must open.
    Session session_as(Principal principal, SessionHooks hooks = {}) const {
        auto opened = Session::open(VaultOptions{root_, core::SecretValue::from_text(kPassphrase)},
                                    std::move(principal), std::move(hooks));
        if (!opened) throw std::runtime_error("Session::open failed: " + opened.error().message());
        return std::move(*opened);
    }

    // global/ for no project, else projects/<name>/.
    fs::path dir(std::optional<std::string_view> project = std::nullopt) const {
        return project ? root_ / "projects" / *project : root_ / "global";
    }

    // Seals with `key` (the test key by default) and writes through the store.
    void put(const core::SecretRecord& record, std::optional<std::string_view> project = std::nullopt,
             const core::MasterKey& key = test_key()) const {
        auto sealed = core::seal(record, key);
        if (!sealed) throw std::runtime_error(sealed.error().display());
        auto written = core::write_record(dir(project), coordinate("secret:" + record.canonical_path()), *sealed);
        if (!written) throw std::runtime_error(written.error().display());
    }

    std::optional<core::SecretRecord> get(std::string_view coordinate_text,
                                          std::optional<std::string_view> project = std::nullopt) const {
        auto read = core::read_record(dir(project), coordinate(coordinate_text), test_key());
        if (!read) throw std::runtime_error(read.error().display());
        return std::move(*read);
    }

    // The record file's bytes; empty when there is none.
    std::string record_bytes(std::string_view coordinate_text,
                             std::optional<std::string_view> project = std::nullopt) const {
        auto path = core::record_path(dir(project), coordinate(coordinate_text));
        if (!path) throw std::runtime_error(path.error().display());
        return read_file(*path);
    }

    fs::path audit_path() const { return root_ / "audit.log"; }

    // The whole log, byte for byte; empty when there is none.
    std::string audit_bytes() const { return read_file(audit_path()); }

    // "action/result" of every line, in log order.
    std::vector<std::string> audit_words() const {
        std::vector<std::string> words;
        std::istringstream in(audit_bytes());
        for (std::string line; std::getline(in, line);) {
            rapidjson::Document doc;
            doc.Parse(line.c_str(), line.size());
            if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("action") || !doc.HasMember("result")) {
                ADD_FAILURE() << "not an audit line: " << line;
                continue;
            }
            words.push_back(std::string(doc["action"].GetString()) + "/" + doc["result"].GetString());
        }
        return words;
    }

private:
    ScopedEnv vault_dir_env_;
    ScopedEnv passphrase_env_;
    testing::TempDir base_;
    fs::path root_;
};

// Hooks that ask `confirmer`, waiting at most `timeout`.
inline SessionHooks asking(std::shared_ptr<const core::Confirmer> confirmer,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return SessionHooks{.clock = nullptr, .confirmer = std::move(confirmer), .confirm_timeout = timeout};
}

// Answers with a fixed decision and remembers how often it was asked. The hook
// runs while the "human" is deciding, to change the vault meanwhile.
class MockConfirmer final : public core::Confirmer {
public:
    explicit MockConfirmer(core::Decision answer, std::function<void()> while_waiting = {})
        : answer_(answer), while_waiting_(std::move(while_waiting)) {}

    core::Decision confirm(const core::ConfirmRequest&, std::chrono::milliseconds) const override {
        ++asked_;
        if (while_waiting_) while_waiting_();
        return answer_;
    }

    int asked() const { return asked_; }

private:
    core::Decision answer_;
    std::function<void()> while_waiting_;
    mutable std::atomic<int> asked_ = 0;
};

// A human at the other end of the pending directory: waits for one request
// file, keeps its name and JSON, and answers by writing ID.decision (whole, by
// rename, as a tool would); kOwnerApproves is the owner's genuine approval.
// No answer when decision is absent.
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
                const std::string json = read_file(pending_ / name);
                if (json.empty()) continue;
                {
                    std::lock_guard guard(mutex_);
                    seen_.emplace(name, json);
                }
                if (decision_) {
                    const std::string id = name.substr(0, name.size() - 5);
                    write_file(pending_ / (id + ".human"),
                               *decision_ == testing::kOwnerApproves ? testing::owner_approval(json, test_key()) : *decision_);
                    fs::rename(pending_ / (id + ".human"), pending_ / (id + ".decision"));
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

}  // namespace tarnel::session::fixture
