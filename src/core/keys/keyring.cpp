#include "core/keys/keyring.hpp"

#include <argon2.h>
#include <cxxabi.h>
#include <pthread.h>
#include <sodium.h>

#include <array>
#include <string>

#include "core/base/os_error.hpp"
#include "core/keys/sodium.hpp"
#include "core/keys/thread_stack.hpp"

namespace tarnel::core {

namespace {

constexpr std::uint32_t kTimeCost = 2;
constexpr std::uint32_t kMemoryCostKiB = 19456;
constexpr std::uint32_t kParallelism = 1;

// The derivation's output; zeroed however the derivation ends.
struct OutputBuffer {
    std::array<std::uint8_t, MasterKey::kSize> bytes{};
    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer() { sodium_memzero(bytes.data(), bytes.size()); }
};

// Both libraries want a real pointer even for an empty passphrase.
const std::uint8_t* non_null(std::span<const std::uint8_t> bytes) {
    static constexpr std::uint8_t kEmpty[1] = {0};
    return bytes.data() != nullptr ? bytes.data() : kEmpty;
}

Result<MasterKey> derive_with_libargon2(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt) {
    OutputBuffer out;
    const int rc =
        argon2_hash(kTimeCost, kMemoryCostKiB, kParallelism, non_null(password), password.size(), non_null(salt),
                    salt.size(), out.bytes.data(), out.bytes.size(), nullptr, 0, Argon2_id, ARGON2_VERSION_13);
    if (rc != ARGON2_OK) return fail(ErrorKind::Keyring, argon2_error_message(rc));
    return MasterKey(out.bytes);
}

Result<MasterKey> derive_with_libsodium(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt) {
    if (salt.size() != crypto_pwhash_argon2id_SALTBYTES) {
        return fail(ErrorKind::Keyring, "libsodium takes only 16-byte salts");
    }
    if (!sodium_ready()) return fail(ErrorKind::Keyring, "libsodium could not be initialised");
    OutputBuffer out;
    const int rc = crypto_pwhash_argon2id(
        out.bytes.data(), out.bytes.size(), reinterpret_cast<const char*>(non_null(password)), password.size(),
        salt.data(), kTimeCost, std::size_t{kMemoryCostKiB} * 1024, crypto_pwhash_argon2id_ALG_ARGON2ID13);
    if (rc != 0) return fail(ErrorKind::Keyring, "libsodium's Argon2id failed");
    return MasterKey(out.bytes);
}

struct WorkerState {
    const std::function<Result<MasterKey>()>* job;
    std::optional<Result<MasterKey>> result;
};

void* argon2_worker_main(void* arg) {
    auto* state = static_cast<WorkerState*>(arg);
    try {
        state->result.emplace((*state->job)());
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind through
    } catch (...) {
        // An empty result tells the waiting caller the worker failed abnormally.
    }
    return nullptr;
}

Result<MasterKey> spawn_failure(int error_number) {
    return fail(ErrorKind::Keyring, "spawning Argon2 worker: " + os_error_text(error_number));
}

}  // namespace

namespace detail {

Result<MasterKey> derive_argon2id(std::span<const std::uint8_t> password, std::span<const std::uint8_t> salt,
                                  Argon2Backend backend) {
    switch (backend) {
        case Argon2Backend::Libargon2: return derive_with_libargon2(password, salt);
        case Argon2Backend::Libsodium: return derive_with_libsodium(password, salt);
        case Argon2Backend::Fastest:
            // Debian's libargon2 is the portable C build, markedly slower than
            // libsodium's run-time SIMD choice; both compute the same function.
            if (salt.size() == crypto_pwhash_argon2id_SALTBYTES) {
                if (auto key = derive_with_libsodium(password, salt)) return key;
            }
            // libsodium gives no reason for a failure; libargon2 either
            // succeeds with the same bytes or names the problem.
            return derive_with_libargon2(password, salt);
    }
    return fail(ErrorKind::Keyring, "unknown Argon2 backend");
}

Result<MasterKey> run_on_argon2_worker(const std::function<Result<MasterKey>()>& job) {
    // Our own stack, not one from glibc's cache: the derivation leaves key
    // material on it, which the stack's destruction wipes after the join.
    auto stack = ThreadStack::map(kArgon2WorkerStackSize);
    if (!stack) return fail(ErrorKind::Keyring, "spawning Argon2 worker: " + stack.error().detail());
    pthread_attr_t attr;
    if (const int rc = pthread_attr_init(&attr); rc != 0) return spawn_failure(rc);
    WorkerState state{&job, std::nullopt};
    pthread_t thread;
    int rc = pthread_attr_setstack(&attr, stack->base(), stack->size());
    if (rc == 0) rc = pthread_create(&thread, &attr, argon2_worker_main, &state);
    pthread_attr_destroy(&attr);
    if (rc != 0) return spawn_failure(rc);
    pthread_join(thread, nullptr);
    if (!state.result) return fail(ErrorKind::Keyring, "Argon2 worker panicked");
    return std::move(*state.result);
}

}  // namespace detail

Result<Argon2Keyring> Argon2Keyring::create(SecretValue passphrase, std::vector<std::uint8_t> salt) {
    if (salt.size() < kMinSaltSize) {
        return fail(ErrorKind::Keyring, "salt must be at least " + std::to_string(kMinSaltSize) + " bytes");
    }
    return Argon2Keyring(std::move(passphrase), std::move(salt));
}

Result<MasterKey> Argon2Keyring::get_master_key() const {
    return detail::run_on_argon2_worker(
        [this] { return detail::derive_argon2id(passphrase_.expose_secret(), salt_, detail::Argon2Backend::Fastest); });
}

Result<void> Argon2Keyring::set_master_key(const MasterKey&) {
    return fail(ErrorKind::Keyring, "passphrase-derived key cannot be stored; it is recomputed from the passphrase");
}

Result<MasterKey> MemoryKeyring::get_master_key() const {
    const std::lock_guard lock(mutex_);
    if (!key_) return fail(ErrorKind::Keyring, "no master key set");
    return key_->clone();
}

Result<void> MemoryKeyring::set_master_key(const MasterKey& key) {
    const std::lock_guard lock(mutex_);
    key_.emplace(key.clone());
    return {};
}

}  // namespace tarnel::core
