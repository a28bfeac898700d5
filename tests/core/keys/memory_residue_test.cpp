// Guards: memory residue of secrets (pieces of a derived key or of a
// fingerprinted value left behind once both are dropped). A forked child does
// the work and waits; the parent reads every writable mapping of the child
// through /proc/<pid>/mem and looks for any 16-byte piece of either. The
// sanitizers move and keep memory of their own, so scripts/test.sh runs these
// (--gtest_filter='*Residue*') in the wheel's build.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <unordered_map>

#include "core/base/fd.hpp"
#include "core/keys/fingerprint.hpp"
#include "core/keys/keyring.hpp"
#include "core/run/process.hpp"
#include "support/test_support.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define TARNEL_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNEL_TEST_UNDER_ASAN 1
#endif
#endif
#ifdef TARNEL_TEST_UNDER_ASAN
// AddressSanitizer moves stack frames to its own heap and holds freed memory in quarantine.
#define SKIP_UNDER_ASAN() GTEST_SKIP() << "scripts/test.sh runs this in the wheel's build"
#else
#define SKIP_UNDER_ASAN() (void)0
#endif

namespace tarnel::core {
namespace {

// The child runs each case twice, a rehearsal and then the real round. The
// rehearsal binds every symbol the path calls, as Python's RTLD_NOW load of
// the module does: binding one lazily saves the vector registers to the stack,
// and the harness would find its own trace there. Inputs differ for every case
// and round, so nothing an earlier test left in this process can match.
enum class Round : std::uint8_t { Rehearsal, Real };

Result<MasterKey> derive(std::size_t salt_size, Round round) {
    std::vector<std::uint8_t> salt(salt_size);
    for (std::size_t i = 0; i < salt_size; ++i) salt[i] = static_cast<std::uint8_t>(0xc4 ^ (i * 53));
    auto keyring = Argon2Keyring::create(SecretValue::from_text("residue check " + std::to_string(salt_size) + "/" +
                                                                std::to_string(static_cast<int>(round))),
                                         std::move(salt));
    if (!keyring) return std::unexpected(keyring.error());
    return keyring->get_master_key();
}

// Bytes that appear nowhere by chance, written straight into their holder so
// the child has no other copy.
SecretValue distinctive_value(std::size_t size, Round round) {
    SecretValue value = SecretValue::zeroed(size);
    auto state = static_cast<std::uint32_t>(0x9e3779b9 ^ size ^ (static_cast<std::uint32_t>(round) << 24));
    for (auto& byte : value.expose_secret_mut()) {
        state = state * 1664525 + 1013904223;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return value;
}

constexpr std::size_t kPiece = 16;

// Every 16-byte piece of the secret, overlapping, so a partial copy (one
// register's spill, the tail of a block) is found too; wiped when dropped so a
// later case's child cannot inherit them. Indexed by their first eight bytes.
struct Needles {
    std::vector<SecretValue> pieces;
    std::unordered_multimap<std::uint64_t, std::size_t> by_prefix;

    explicit Needles(std::span<const std::uint8_t> secret) {
        for (std::size_t at = 0; at + kPiece <= secret.size(); at += kPiece / 2) {
            std::uint64_t prefix;
            std::memcpy(&prefix, secret.data() + at, sizeof prefix);
            by_prefix.emplace(prefix, pieces.size());
            pieces.emplace_back(secret.subspan(at, kPiece));
        }
    }
};

// Where in the child's writable memory any piece lies, as "<piece>@<mapping>".
std::vector<std::string> findings(pid_t pid, const Needles& needles) {
    const UniqueFd mem(::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
    if (!mem) return {"cannot open /proc/<pid>/mem"};
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::vector<std::string> found;
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t begin = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &begin, &end, perms) != 3) continue;
        if (perms[0] != 'r' || perms[1] != 'w') continue;
        const auto named = line.find_first_of("/[");
        const std::string name = named == std::string::npos ? "[anonymous]" : line.substr(named);
        std::vector<std::uint8_t> bytes(end - begin);
        std::size_t got = 0;
        for (ssize_t n = 1; got < bytes.size() && n > 0; got += n > 0 ? static_cast<std::size_t>(n) : 0) {
            n = ::pread(mem.get(), bytes.data() + got, bytes.size() - got, static_cast<off_t>(begin + got));
        }
        for (std::size_t at = 0; at + kPiece <= got; ++at) {
            std::uint64_t prefix;
            std::memcpy(&prefix, bytes.data() + at, sizeof prefix);
            const auto [first, last] = needles.by_prefix.equal_range(prefix);
            for (auto it = first; it != last; ++it) {
                if (std::memcmp(needles.pieces[it->second].expose_secret().data(), bytes.data() + at, kPiece) == 0) {
                    found.push_back("piece " + std::to_string(it->second) + "@" + name);
                }
            }
        }
    }
    return found;
}

// Forks a child that runs leave_traces for both rounds and waits; then makes
// the secret (here, after the fork) and reports where in the child it was found.
std::vector<std::string> residue_after(const std::function<bool(Round)>& leave_traces,
                                       const std::function<SecretValue()>& secret) {
    int ready[2];
    int release[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0) return {"pipe2 failed"};
    const pid_t child = ::fork();
    if (child < 0) return {"fork failed"};
    if (child == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        // The harness's own calls are bound in the rehearsal's time too.
        char verdict = 0;
        if (::write(ready[1], &verdict, 0) != 0 || ::read(release[0], &verdict, 0) != 0) ::_exit(2);
        verdict = leave_traces(Round::Rehearsal) && leave_traces(Round::Real) ? 'y' : 'n';
        if (::write(ready[1], &verdict, 1) != 1) ::_exit(2);
        while (::read(release[0], &verdict, 1) > 0) {
        }
        ::_exit(0);  // once the parent closes its end
    }
    ::close(ready[1]);
    ::close(release[0]);
    char verdict = 0;
    const bool worked = ::read(ready[0], &verdict, 1) == 1 && verdict == 'y';
    ::close(ready[0]);
    const auto found =
        worked ? findings(child, Needles(secret().expose_secret())) : std::vector<std::string>{"the child failed"};
    ::close(release[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {"the child did not exit cleanly"};
    return found;
}

// A derived key for salt sizes 16 (libsodium's Argon2id) and 24 (libargon2's);
// fingerprinted values within one block, ending in a partial block, a few
// chunks, a deeper subtree of chunks (BLAKE3 copies blocks into frames of its own).
TEST(Residue, NoPieceOfADerivedKeyOrAFingerprintedValueRemainsOnceItIsDropped) {
    SKIP_UNDER_ASAN();
    for (const std::size_t salt : {16, 24}) {
        const auto found = residue_after([salt](Round round) { return derive(salt, round).has_value(); },
                                         [salt] {
                                             const auto key = derive(salt, Round::Real);
                                             return key ? SecretValue(key->expose_secret()) : SecretValue();
                                         });
        EXPECT_TRUE(found.empty()) << "salt " << salt << ": " << ::testing::PrintToString(found);
    }
    for (const std::size_t size : {48, 100, 1000, 3000, 65536}) {
        const auto found = residue_after(
            [size](Round round) { return fingerprint(distinctive_value(size, round).expose_secret()).size() == 8; },
            [size] { return distinctive_value(size, Round::Real); });
        EXPECT_TRUE(found.empty()) << "value of " << size << ": " << ::testing::PrintToString(found);
    }
}

// A child's output as the pipe hands it over: a small one grows on the heap,
// a large one moves into a mapping of its own and is remapped as it grows.
// The bytes arrive whole, and none of them stay behind once dropped.
TEST(Residue, NoPieceOfACapturedOutputRemainsOnceItIsDropped) {
    SKIP_UNDER_ASAN();
    const testing::TempDir dir;
    for (const std::size_t size : {std::size_t{300} << 10, std::size_t{5} << 20}) {
        const auto file = [&](Round round) {
            return dir.path() / (std::to_string(size) + "-" + std::to_string(static_cast<int>(round)));
        };
        for (const Round round : {Round::Rehearsal, Round::Real}) {
            const UniqueFd out(::open(file(round).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            const SecretValue value = distinctive_value(size, round);
            ASSERT_EQ(::write(out.get(), value.expose_secret().data(), size), static_cast<ssize_t>(size));
        }
        const auto found = residue_after(
            [&](Round round) {
                auto ran = run_process({.program = "cat", .args = {file(round).string()}},
                                       ChildEnvironment::inherited_without_vault_settings());
                return ran && ran->out.same_bytes(distinctive_value(size, round));
            },
            [size] { return distinctive_value(size, Round::Real); });
        EXPECT_TRUE(found.empty()) << "output of " << size << ": " << ::testing::PrintToString(found);
    }
}

}  // namespace
}  // namespace tarnel::core
