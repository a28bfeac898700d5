#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/secret.hpp"
#include "wrapper/literal_index.hpp"

namespace tarnel::wrapper {

// Replaces every occurrence of each secret, in the order given, by "***":
// left to right, non-overlapping, each secret matched against the text the
// earlier ones left. Empty secrets and secrets longer than the text are skipped.
core::SecretValue mask_secrets(std::span<const std::uint8_t> output, std::span<const core::SecretValue> secrets);

// mask_secrets, then the forms a child may re-encode a secret in: base64
// (standard and URL-safe, padded or not, at each byte alignment), hex in
// either case and percent-encoding of every secret of at least 8 bytes, and
// every line of at least 8 bytes of a multi-line secret.
core::SecretValue mask_output(std::span<const std::uint8_t> output, std::span<const core::SecretValue> secrets);

// The masking of mask_secrets or mask_output, prepared once for several
// outputs (a run's stdout and stderr): the patterns are indexed when the
// masker is built, and each apply() is one scan of the output in the common
// case. The result is always exactly that of the sequential rule.
class Masker {
public:
    struct Options {
        // Off: find occurrences by plain search, as on a CPU Hyperscan cannot run on.
        bool literal_index = true;
        // Occurrences held at once before falling back to the sequential
        // rule; 0 picks 65536 plus one per 32 bytes of output.
        std::size_t max_matches = 0;
    };

    // As mask_secrets.
    static Masker exact(std::span<const core::SecretValue> secrets, Options options);
    static Masker exact(std::span<const core::SecretValue> secrets) { return exact(secrets, Options{}); }
    // As mask_output: the secrets, then their encoded forms (which are no less secret).
    static Masker with_encoded_forms(std::span<const core::SecretValue> secrets, Options options);
    static Masker with_encoded_forms(std::span<const core::SecretValue> secrets) {
        return with_encoded_forms(secrets, Options{});
    }

    core::SecretValue apply(std::span<const std::uint8_t> output);

private:
    // A run of patterns without '*': each occurs in the text as it stands
    // after the earlier patterns of the run exactly where it occurs in the
    // text at the start of the run without touching anything they replaced,
    // so one search at the start serves the whole run. A pattern with '*' may
    // match across an inserted "***" and forms a run of its own, applied by
    // the sequential rule.
    struct Run {
        std::size_t begin = 0;
        std::size_t end = 0;
        bool sequential = false;
        std::optional<LiteralIndex> index;
        std::vector<std::size_t> searched;  // patterns the index does not hold
    };

    Masker(std::vector<core::SecretValue> patterns, Options options);
    void index(Run& run);
    bool apply_run(Run& run, core::SecretValue& text);

    std::vector<core::SecretValue> patterns_;
    std::vector<Run> runs_;
    Options options_;
};

}  // namespace tarnel::wrapper
