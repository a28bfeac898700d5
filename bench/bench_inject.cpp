// The pieces of an injected run with 20 vault variables, each timed alone:
// resolving the 20 records (read, open, decode), the 20 audit lines (one full
// sync each), and starting and waiting for /bin/true with the values in its
// environment; then the whole run through the wrapper, to see what is left
// beside them. Also the masker for the 20 values and their encoded forms,
// which a run builds only when its child prints something. Prints absolute
// times and shares, medians of interleaved rounds.
// Usage: tarnel_bench_inject [parent-dir]   (default: $TMPDIR or /tmp)
#include <sodium.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/oversight/audit.hpp"
#include "core/oversight/clock.hpp"
#include "core/keys/crypto.hpp"
#include "core/run/env_source.hpp"
#include "core/run/envrefs.hpp"
#include "core/keys/keyring.hpp"
#include "core/run/provider.hpp"
#include "core/store/registry.hpp"
#include "core/run/resolver.hpp"
#include "core/store/store.hpp"
#include "wrapper/allowlist.hpp"
#include "wrapper/runner.hpp"
#include "wrapper/sanitize.hpp"
#include "wrapper/wrapper.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tarnel;
using bench::check;
using bench::die;
using bench::median;
using bench::micros;

constexpr int kVariables = 20;
constexpr int kRounds = 31;
constexpr std::size_t kValueSize = 32;

// Only gated (high or prod) variables ask; these never are.
class NeverAsked final : public core::Confirmer {
public:
    core::Decision confirm(const core::ConfirmRequest&, std::chrono::milliseconds,
                           const core::CancelToken&) const override {
        die("a human was asked for a low dev value");
    }
};

core::MasterKey random_key() {
    std::array<std::uint8_t, core::MasterKey::kSize> bytes{};
    randombytes_buf(bytes.data(), bytes.size());
    return core::MasterKey(bytes);
}

std::string random_printable() {
    std::string text(kValueSize, ' ');
    for (char& c : text) c = static_cast<char>(' ' + randombytes_uniform(95));
    return text;
}

// The vault root with the records, and the .env.refs text naming them.
std::string fill_vault(const core::Registry& registry, const core::MasterKey& key) {
    std::string refs;
    for (int i = 0; i < kVariables; ++i) {
        const std::string uri = "secret:dev/app/key" + std::to_string(i);
        const core::Coordinate at = check(core::Coordinate::from_str(uri), "coordinate");
        core::SecretRecord record = bench::literal(at, random_printable());
        record.meta.sensitivity = core::Sensitivity::Low;
        check(core::write_record(registry.global_dir(), at, check(core::seal(record, key), "seal")), "write");
        refs.append("V").append(std::to_string(i)).append("=").append(uri).append("\n");
    }
    return refs;
}

template <class T>
T check_run(wrapper::WrapperResult<T> result, const char* what) {
    if (!result) die(std::string(what) + ": " + result.error().display());
    return std::move(*result);
}

struct Piece {
    const char* name;
    double micros;
};

void print_split(const std::vector<Piece>& pieces, double whole) {
    double sum = 0;
    for (const Piece& piece : pieces) sum += piece.micros;
    for (const Piece& piece : pieces) {
        std::printf("    %-52s %9.1f us  %5.1f%%\n", piece.name, piece.micros, 100 * piece.micros / sum);
    }
    std::printf("    %-52s %9.1f us\n", "sum of the pieces", sum);
    std::printf("    %-52s %9.1f us  (%.1f us beside the pieces)\n", "whole run through the wrapper", whole,
                whole - sum);
}

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) die("libsodium did not start");
    const char* tmpdir = std::getenv("TMPDIR");
    const fs::path parent = argc > 1 ? fs::path(argv[1]) : fs::path(tmpdir != nullptr ? tmpdir : "/tmp");
    std::string pattern = (parent / "tarnel-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) die("mkdtemp in " + parent.string());
    const fs::path root = pattern;

    const core::MasterKey key = random_key();
    const core::Registry registry = check(core::Registry::open(root), "registry");
    const core::EnvRefs refs = check(core::EnvRefs::parse(fill_vault(registry, key)), "parse refs");

    const core::MemoryKeyring keyring(key.clone());
    const core::SystemEnvSource env_source;
    const core::SchemeRouter router;
    const core::SystemClock clock;
    const core::FileAuditSink audit = core::FileAuditSink::under_root(root);
    const wrapper::Allowlist allowlist = wrapper::Allowlist::under_root(root, key);
    const wrapper::SystemRunner runner;
    const NeverAsked confirmer;
    const core::ResolverParts resolver_parts{registry, keyring, env_source, router, audit, clock, core::Actor::Agent};
    const wrapper::WrapperParts wrapper_parts{registry, keyring, env_source, router, confirmer,
                                              audit,    clock,   allowlist,  runner};
    const wrapper::Wrapper whole_run(wrapper_parts, wrapper::WrapperSettings{});

    // One resolution kept for the pieces that need the values.
    std::vector<core::ResolvedVar> vars = check(core::resolve(refs, "dev", resolver_parts, std::nullopt), "resolve");
    std::vector<core::SecretValue> secrets;
    wrapper::Command command{"/bin/true", {}, {}, false};
    for (const core::ResolvedVar& var : vars) {
        secrets.push_back(var.value.clone());
        command.env.emplace_back(var.name, var.value.clone());
    }

    std::vector<double> resolving, auditing, masking, running, whole;
    for (int round = 0; round < kRounds; ++round) {
        resolving.push_back(micros([&] {
            if (check(core::resolve(refs, "dev", resolver_parts, std::nullopt), "resolve").size() != kVariables) {
                die("resolve count");
            }
        }));
        auditing.push_back(micros([&] {
            // As a run writes them: one append of all the lines, one sync.
            const core::AuditBatch batch(audit);
            for (const core::ResolvedVar& var : vars) {
                const auto event = core::AuditEvent(clock.now_rfc3339(), core::AuditAction::Inject, "injected")
                                       .at(*var.coordinate, var.environment)
                                       .by(core::Actor::Agent);
                check(batch.record(event), "audit");
            }
            check(batch.flush(), "audit");
        }));
        masking.push_back(micros([&] {
            wrapper::Masker masker = wrapper::Masker::with_encoded_forms(secrets);
            (void)masker.apply({});
            (void)masker.apply({});
        }));
        running.push_back(micros([&] {
            if (check_run(runner.run(command), "run /bin/true").code != 0) die("/bin/true failed");
        }));
        whole.push_back(micros([&] {
            const wrapper::RunOutput output =
                check_run(whole_run.run(refs, "dev", std::nullopt, "/bin/true", {}, core::Actor::Agent), "wrapper run");
            if (output.code != 0) die("/bin/true failed under the wrapper");
        }));
    }

    std::printf("machine: %s; vault under %s\n", bench::machine().c_str(), parent.c_str());
    std::printf("%d low dev vault variables of %zu bytes, /bin/true (medians of %d rounds):\n", kVariables, kValueSize,
                kRounds);
    print_split({{"core::resolve of the 20 records", median(resolving)},
                 {"20 audit lines in one FileAuditSink batch", median(auditing)},
                 {"SystemRunner::run of /bin/true with the 20 values", median(running)}},
                median(whole));
    std::printf("    %-52s %9.1f us  (built only when the child prints)\n",
                "Masker::with_encoded_forms + 2 empty applies", median(masking));
    fs::remove_all(root);
    return 0;
}
