#pragma once

// Shared by the session suites: a throw-away vault root keyed by a passphrase,
// records written straight through the store (so a test can plant any kind,
// including those no session operation creates), and the audit log's lines.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/coordinate.hpp"
#include "core/crypto.hpp"
#include "core/keyring.hpp"
#include "core/master_key.hpp"
#include "core/record.hpp"
#include "core/scope.hpp"
#include "core/secret.hpp"
#include "core/store.hpp"
#include "ffi/session.hpp"

namespace tarnel::ffi::fixture {

namespace fs = std::filesystem;

inline constexpr std::string_view kPassphrase = "correct horse battery staple";
inline constexpr std::string_view kStamp = "2026-01-02T03:04:05Z";

// 00 01 .. 0f, the same salt as tests/python/vaultkit.py.
inline std::vector<std::uint8_t> test_salt() {
    std::vector<std::uint8_t> salt(16);
    for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(i);
    return salt;
}

// The key kPassphrase and test_salt() give, derived once per test process:
// Argon2 is the slow part of opening a session.
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

inline core::Coordinate coordinate(std::string_view text) {
    auto parsed = core::Coordinate::from_str(text);
    if (!parsed) throw std::runtime_error(parsed.error().display());
    return std::move(*parsed);
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

// Metadata for "env/component/key".
inline core::RecordMetadata meta(std::string_view path, core::Sensitivity sensitivity, bool revealable) {
    core::RecordMetadata m;
    auto first = path.find('/');
    auto second = path.find('/', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos)
        throw std::invalid_argument("path must be env/component/key");
    m.sensitivity = sensitivity;
    m.revealable = revealable;
    m.environment = std::string(path.substr(0, first));
    m.component = std::string(path.substr(first + 1, second - first - 1));
    m.key = std::string(path.substr(second + 1));
    m.created = std::string(kStamp);
    m.updated = std::string(kStamp);
    return m;
}

inline core::SecretRecord literal(std::string_view path, std::string_view value,
                                  core::Sensitivity sensitivity = core::Sensitivity::Low,
                                  bool revealable = true) {
    return {core::LiteralRecord{core::SecretValue::from_text(value)}, meta(path, sensitivity, revealable)};
}

inline core::SecretRecord reference(std::string_view path, std::string_view uri,
                                    core::Sensitivity sensitivity = core::Sensitivity::Low,
                                    bool revealable = true) {
    return {core::ReferenceRecord{std::string(uri)}, meta(path, sensitivity, revealable)};
}

inline core::SecretRecord keypair(std::string_view path, std::string_view public_key,
                                  std::optional<std::string_view> private_key = "private-key",
                                  core::KeyAlgorithm algorithm = core::KeyAlgorithm::Ed25519,
                                  core::Sensitivity sensitivity = core::Sensitivity::Low,
                                  bool revealable = true) {
    core::KeypairRecord pair;
    pair.algorithm = algorithm;
    if (private_key) pair.private_key = core::SecretValue::from_text(*private_key);
    pair.public_key = std::string(public_key);
    return {std::move(pair), meta(path, sensitivity, revealable)};
}

inline core::SecretRecord totp(std::string_view path, std::string_view seed,
                               core::TotpAlgorithm algorithm = core::TotpAlgorithm::Sha1,
                               std::uint8_t digits = 6, std::uint8_t period = 30,
                               core::Sensitivity sensitivity = core::Sensitivity::Low,
                               bool revealable = true) {
    core::TotpRecord enrolment;
    enrolment.seed = core::SecretValue::from_text(seed);
    enrolment.algorithm = algorithm;
    enrolment.digits = digits;
    enrolment.period = period;
    return {std::move(enrolment), meta(path, sensitivity, revealable)};
}

// Whole-file helpers; descriptors are close-on-exec like everywhere else.
inline std::optional<std::string> read_file(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string data;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            ::close(fd);
            throw std::runtime_error("reading " + path.string() + " failed");
        }
        if (n == 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

inline void write_file(const fs::path& path, std::string_view data, mode_t mode = 0600) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw std::runtime_error("opening " + path.string() + " failed");
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            ::close(fd);
            throw std::runtime_error("writing " + path.string() + " failed");
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
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

// A vault root under /tmp holding "kdf.salt", removed with everything in it
// when the object goes. TARNEL_VAULT_DIR and TARNEL_PASSPHRASE are cleared
// for its lifetime so no test reaches a developer's real vault.
class TempVault {
public:
    TempVault() : vault_dir_env_("TARNEL_VAULT_DIR", std::nullopt), passphrase_env_("TARNEL_PASSPHRASE", std::nullopt) {
        char pattern[] = "/tmp/tarnel-session-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        base_ = pattern;
        root_ = base_ / "vault";
        fs::create_directory(root_);
        write_salt(test_salt());
    }
    ~TempVault() {
        std::error_code ignored;
        // A test may have taken permissions away; give them back to clean up.
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(base_, ignored);
    }
    TempVault(const TempVault&) = delete;
    TempVault& operator=(const TempVault&) = delete;

    // A private scratch directory beside the root, removed with it.
    const fs::path& base() const noexcept { return base_; }
    const fs::path& root() const noexcept { return root_; }
    const core::MasterKey& key() const { return test_key(); }

    void write_salt(const std::vector<std::uint8_t>& salt) const {
        write_file(root_ / "kdf.salt", std::string_view(reinterpret_cast<const char*>(salt.data()), salt.size()));
    }

    FfiResult<Session> open(core::AgentScope scope,
                            std::optional<std::string_view> passphrase = kPassphrase) const {
        std::optional<core::SecretValue> secret;
        if (passphrase) secret = core::SecretValue::from_text(*passphrase);
        return Session::open(root_, std::move(scope), std::move(secret));
    }

    // open() that must succeed.
    Session session(core::AgentScope scope = all_operations()) const {
        auto opened = open(std::move(scope));
        if (!opened) throw std::runtime_error("Session::open failed: " + opened.error().message());
        return std::move(*opened);
    }

    // global/ for no project, else projects/<name>/.
    fs::path dir(std::optional<std::string_view> project = std::nullopt) const {
        return project ? root_ / "projects" / *project : root_ / "global";
    }

    // Seals with the test key and writes through the store, as a session would.
    void put(const core::SecretRecord& record, std::optional<std::string_view> project = std::nullopt) const {
        auto at = coordinate("secret:" + record.canonical_path());
        auto sealed = core::seal(record, key());
        if (!sealed) throw std::runtime_error(sealed.error().display());
        auto written = core::write_record(dir(project), at, *sealed);
        if (!written) throw std::runtime_error(written.error().display());
    }

    std::optional<core::SecretRecord> get(std::string_view coordinate_text,
                                          std::optional<std::string_view> project = std::nullopt) const {
        auto read = core::read_record(dir(project), coordinate(coordinate_text), key());
        if (!read) throw std::runtime_error(read.error().display());
        return std::move(*read);
    }

    fs::path record_file(std::string_view coordinate_text,
                         std::optional<std::string_view> project = std::nullopt) const {
        auto path = core::record_path(dir(project), coordinate(coordinate_text));
        if (!path) throw std::runtime_error(path.error().display());
        return std::move(*path);
    }

    fs::path audit_path() const { return root_ / "audit.log"; }

    // The whole log, byte for byte; empty when there is none.
    std::string audit_bytes() const { return read_file(audit_path()).value_or(std::string()); }

    std::vector<std::string> audit_lines() const {
        std::vector<std::string> lines;
        std::istringstream in(audit_bytes());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    ScopedEnv vault_dir_env_;
    ScopedEnv passphrase_env_;
    fs::path base_;
    fs::path root_;
};

}  // namespace tarnel::ffi::fixture
