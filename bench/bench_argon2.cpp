// Argon2id key derivation: Argon2Keyring against libsodium's crypto_pwhash
// with the same parameters, interleaved so drift hits every variant alike.
//
// usage: tarnel_bench_argon2 [ROUNDS]   (default 15)

#include <sodium.h>
#include <sys/utsname.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/keys/keyring.hpp"

namespace {

using tarnel::core::Argon2Keyring;
using tarnel::core::MasterKey;
using tarnel::core::SecretValue;
namespace detail = tarnel::core::detail;

constexpr double kTargetRatio = 1.25;
constexpr std::string_view kPassphrase = "a passphrase of ordinary length";

std::string machine() {
    utsname name{};
    return ::uname(&name) == 0 ? name.machine : "unknown";
}

std::string cpu_model() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.starts_with("model name")) return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

std::vector<std::uint8_t> salt_of(std::size_t size) {
    std::vector<std::uint8_t> salt(size);
    for (std::size_t i = 0; i < size; ++i) salt[i] = static_cast<std::uint8_t>(0x5a ^ (i * 11));
    return salt;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

struct Variant {
    Variant(const char* label, std::function<bool()> job) : name(label), run(std::move(job)) {}
    const char* name;
    std::function<bool()> run;  // false when the derivation failed
    std::vector<double> wall_ms;
    std::vector<double> cpu_ms;
};

// CPU time of the whole process, worker threads included: unlike wall time it
// does not grow when other jobs share the machine.
double process_cpu_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    if (sodium_init() < 0) {
        std::fprintf(stderr, "sodium_init failed\n");
        return 1;
    }
    const auto salt16 = salt_of(16);
    const auto salt8 = salt_of(8);
    const auto passphrase = std::span(reinterpret_cast<const std::uint8_t*>(kPassphrase.data()), kPassphrase.size());
    auto keyring16 = Argon2Keyring::create(SecretValue(passphrase), salt16);
    auto keyring8 = Argon2Keyring::create(SecretValue(passphrase), salt8);
    if (!keyring16 || !keyring8) return 1;

    std::array<std::uint8_t, MasterKey::kSize> sodium_out{};
    const auto pwhash = [&] {
        return crypto_pwhash(sodium_out.data(), sodium_out.size(), kPassphrase.data(), kPassphrase.size(),
                             salt16.data(), 2, std::size_t{19456} * 1024, crypto_pwhash_ALG_ARGON2ID13) == 0;
    };
    std::vector<Variant> variants = {
        {"crypto_pwhash, 16-byte salt", pwhash},
        {"Argon2Keyring, 16-byte salt", [&] { return keyring16->get_master_key().has_value(); }},
        {"Argon2Keyring, 8-byte salt (libargon2)", [&] { return keyring8->get_master_key().has_value(); }},
        {"libargon2 only, 16-byte salt",
         [&] { return detail::derive_argon2id(passphrase, salt16, detail::Argon2Backend::Libargon2).has_value(); }},
    };

    // Same bytes first: a fast wrong answer is no answer.
    const auto ours = keyring16->get_master_key();
    if (!pwhash() || !ours || !std::equal(sodium_out.begin(), sodium_out.end(), ours->expose_secret().begin())) {
        std::fprintf(stderr, "Argon2Keyring and crypto_pwhash disagree for a 16-byte salt\n");
        return 1;
    }
    for (auto& variant : variants) variant.run();  // warm-up: page in the 19 MiB once

    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < variants.size(); ++i) {
            auto& variant = variants[(i + static_cast<std::size_t>(round)) % variants.size()];
            const double cpu_start = process_cpu_ms();
            const auto start = std::chrono::steady_clock::now();
            if (!variant.run()) {
                std::fprintf(stderr, "%s failed\n", variant.name);
                return 1;
            }
            const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
            variant.wall_ms.push_back(took.count());
            variant.cpu_ms.push_back(process_cpu_ms() - cpu_start);
        }
    }

    std::printf("machine: %s, %s\n", machine().c_str(), cpu_model().c_str());
    std::printf("Argon2id v0x13, m=19456 KiB, t=2, p=1, 32-byte key; %d interleaved rounds, medians\n\n", rounds);
    std::printf("  %-42s %9s %7s %9s %7s\n", "", "wall ms", "ratio", "CPU ms", "ratio");
    const double wall_base = median(variants[0].wall_ms);
    const double cpu_base = median(variants[0].cpu_ms);
    for (const auto& variant : variants) {
        const double wall = median(variant.wall_ms);
        const double cpu = median(variant.cpu_ms);
        std::printf("  %-42s %9.2f %6.2fx %9.2f %6.2fx\n", variant.name, wall, wall / wall_base, cpu, cpu / cpu_base);
    }
    const double ratio = std::max(median(variants[1].wall_ms) / wall_base, median(variants[1].cpu_ms) / cpu_base);
    std::printf("\nArgon2Keyring (16-byte salt) / crypto_pwhash, worse of wall and CPU = %.2f, target <= %.2f: %s\n",
                ratio, kTargetRatio, ratio <= kTargetRatio ? "met" : "NOT MET");
    return 0;
}
