#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/base/error.hpp"
#include "core/keys/master_key.hpp"
#include "core/model/secret.hpp"

namespace tarnel::core {

// A source of the vault's master key. Every failure is of the keyring kind.
class Keyring {
public:
    virtual ~Keyring() = default;

    virtual Result<MasterKey> get_master_key() const = 0;
    virtual Result<void> set_master_key(const MasterKey& key) = 0;

protected:
    Keyring() = default;
    Keyring(const Keyring&) = default;
    Keyring(Keyring&&) = default;
    Keyring& operator=(const Keyring&) = default;
    Keyring& operator=(Keyring&&) = default;
};

// Derives the key from a passphrase and the vault's salt with Argon2id
// (version 0x13, 19,456 KiB, 2 passes, 1 lane). The key is recomputed on
// every call, on a short-lived worker thread with an 8 MiB stack of its own,
// wiped and unmapped once the thread is joined.
class Argon2Keyring final : public Keyring {
public:
    static constexpr std::size_t kMinSaltSize = 8;

    // Takes both over whole. Any passphrase is accepted, the empty one too.
    static Result<Argon2Keyring> create(SecretValue passphrase, std::vector<std::uint8_t> salt);

    Result<MasterKey> get_master_key() const override;
    // Always fails: the key is a function of the passphrase.
    Result<void> set_master_key(const MasterKey& key) override;

private:
    Argon2Keyring(SecretValue passphrase, std::vector<std::uint8_t> salt) noexcept
        : passphrase_(std::move(passphrase)), salt_(std::move(salt)) {}

    SecretValue passphrase_;
    std::vector<std::uint8_t> salt_;
};

// Holds a key in memory and hands out copies: the key a session already
// unlocked, given to the parts that ask a keyring for it, and test vaults.
class MemoryKeyring final : public Keyring {
public:
    MemoryKeyring() = default;
    explicit MemoryKeyring(MasterKey key) : key_(std::move(key)) {}

    Result<MasterKey> get_master_key() const override;
    Result<void> set_master_key(const MasterKey& key) override;

private:
    mutable std::mutex mutex_;
    std::optional<MasterKey> key_;
};

namespace detail {

enum class Argon2Backend {
    // libsodium for 16-byte salts (its SIMD code is chosen at run time),
    // libargon2 otherwise and for libsodium's failures. Same bytes either way.
    Fastest,
    Libargon2,
    // 16-byte salts only.
    Libsodium,
};

inline constexpr std::size_t kArgon2WorkerStackSize = 8 * 1024 * 1024;

// Argon2id with the keyring's parameters; a failure carries the Argon2
// library's text.
Result<MasterKey> derive_argon2id(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                                  Argon2Backend backend);

// Runs the job on a new thread with kArgon2WorkerStackSize of freshly mapped
// stack (a guard page below it), waits for it, then wipes and unmaps the
// stack. An exception escaping the job is reported, not propagated.
Result<MasterKey> run_on_argon2_worker(const std::function<Result<MasterKey>()>& job);

}  // namespace detail

}  // namespace tarnel::core
