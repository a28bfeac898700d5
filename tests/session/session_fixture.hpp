#pragma once

// The one fixture of the session suites: a throw-away vault root keyed by a
// passphrase, records written straight through the store, the audit log as
// "action/result" words, and a confirmer that keeps what it was asked (and may
// let the vault change while it "decides").

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <functional>
#include <stdexcept>

#include "core/keys/crypto.hpp"
#include "core/keys/keyring.hpp"
#include "core/oversight/confirm.hpp"
#include "core/store/store.hpp"
#include "session/session.hpp"
#include "support/test_support.hpp"

namespace tarnel::session::fixture {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using core::Decision;
using core::Operation;
using core::Sensitivity;
using namespace tarnel::testing;
using Names = std::set<std::string, std::less<>>;
using Words = std::vector<std::string>;

inline constexpr std::string_view kPassphrase = "correct horse battery staple";

// The key kPassphrase gives with the salt 00 01 .. 0f, derived once per process.
inline const core::MasterKey& test_key() {
    static const core::MasterKey key =
        *core::Argon2Keyring::create(core::SecretValue::from_text(kPassphrase),
                                     {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})
             ->get_master_key();
    return key;
}

// Operations and optional project / environment name sets (nullopt: any).
inline core::AgentScope scope_of(std::initializer_list<Operation> operations,
                                 std::optional<Names> projects = std::nullopt,
                                 std::optional<Names> environments = std::nullopt) {
    core::AgentScope scope;
    for (Operation operation : operations) scope.operations.insert(operation);
    scope.projects = projects ? core::ScopeFilter::only(std::move(*projects)) : core::ScopeFilter::any();
    scope.environments = environments ? core::ScopeFilter::only(std::move(*environments)) : core::ScopeFilter::any();
    return scope;
}

inline core::AgentScope all_operations() {
    return scope_of({Operation::Metadata, Operation::Inject, Operation::Reveal, Operation::Write});
}

// A literal at "env/component/key".
inline core::SecretRecord literal(std::string_view path, std::string_view value,
                                  Sensitivity sensitivity = Sensitivity::Low, bool revealable = true) {
    core::SecretRecord record = testing::literal(coordinate("secret:" + std::string(path)), value);
    record.meta.sensitivity = sensitivity;
    record.meta.revealable = revealable;
    return record;
}

// Answers with a fixed decision and keeps every request (asked from one thread
// at a time); `meanwhile` runs while the "human" decides, to change the vault.
class Confirmer final : public core::Confirmer {
public:
    explicit Confirmer(Decision answer, std::function<void()> meanwhile = {})
        : answer_(answer), meanwhile_(std::move(meanwhile)) {}
    Decision confirm(const core::ConfirmRequest& request, std::chrono::milliseconds,
                     const core::CancelToken& = core::CancelToken::never()) const override {
        seen.push_back(request);
        if (meanwhile_) meanwhile_();
        return answer_;
    }
    mutable std::vector<core::ConfirmRequest> seen;

private:
    Decision answer_;
    std::function<void()> meanwhile_;
};

inline std::shared_ptr<Confirmer> answering(Decision answer, std::function<void()> meanwhile = {}) {
    return std::make_shared<Confirmer>(answer, std::move(meanwhile));
}

// A vault root holding kdf.salt in a temporary directory; TARNEL_VAULT_DIR and
// TARNEL_PASSPHRASE are cleared meanwhile so no test reaches a real vault.
class TempVault {
public:
    TempVault() {
        fs::create_directory(root_);
        write_file(root_ / "kdf.salt", std::string_view("\0\1\2\3\4\5\6\7\10\11\12\13\14\15\16\17", 16));
    }
    const fs::path& base() const noexcept { return base_.path(); }
    const fs::path& root() const noexcept { return root_; }

    // A session that must open; without a confirmer its own asks through pending/.
    Session session(Principal principal = Principal::agent(all_operations()),
                    std::shared_ptr<const core::Confirmer> confirmer = nullptr, std::chrono::milliseconds timeout = 5s,
                    std::shared_ptr<const core::Clock> clock = nullptr) const {
        auto opened =
            Session::open(VaultOptions{root_, core::SecretValue::from_text(kPassphrase)}, std::move(principal),
                          SessionHooks{std::move(clock), std::move(confirmer), timeout});
        if (!opened) throw std::runtime_error("Session::open failed: " + opened.error().message());
        return std::move(*opened);
    }
    Session session(core::AgentScope scope, std::shared_ptr<const core::Confirmer> confirmer = nullptr) const {
        return session(Principal::agent(std::move(scope)), std::move(confirmer));
    }

    // global/ for no project, else projects/<name>/.
    fs::path dir(std::optional<std::string_view> project = std::nullopt) const {
        return project ? root_ / "projects" / *project : root_ / "global";
    }
    void put(const core::SecretRecord& record, std::optional<std::string_view> project = std::nullopt,
             const core::MasterKey& key = test_key()) const {
        if (!core::write_record(dir(project), coordinate("secret:" + record.canonical_path()),
                                *core::seal(record, key)))
            throw std::runtime_error("write_record failed");
    }
    std::optional<core::SecretRecord> get(std::string_view at,
                                          std::optional<std::string_view> project = std::nullopt) const {
        auto read = core::read_record(dir(project), coordinate(at), test_key());
        if (!read) throw std::runtime_error(read.error().display());
        return std::move(*read);
    }
    // The record file's bytes; empty when there is none.
    std::string record_bytes(std::string_view at, std::optional<std::string_view> project = std::nullopt) const {
        return read_file(*core::record_path(dir(project), coordinate(at)));
    }
    // "action/result" (or the one field named) of every line, in log order.
    Words audit_words(const char* field = nullptr) const {
        Words words;
        std::istringstream in(read_file(root_ / "audit.log"));
        for (std::string line; std::getline(in, line);) {
            rapidjson::Document doc;
            doc.Parse(line.c_str(), line.size());
            if (doc.HasParseError() || !doc.HasMember(field ? field : "action") || !doc.HasMember("result")) {
                ADD_FAILURE() << "not an audit line: " << line;
            } else {
                words.push_back(field ? doc[field].GetString()
                                      : std::string(doc["action"].GetString()) + "/" + doc["result"].GetString());
            }
        }
        return words;
    }

private:
    ScopedEnv vault_dir_env_{"TARNEL_VAULT_DIR", std::nullopt};
    ScopedEnv passphrase_env_{"TARNEL_PASSPHRASE", std::nullopt};
    testing::TempDir base_;
    fs::path root_ = base_.path() / "vault";
};

}  // namespace tarnel::session::fixture
