#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/model/secret.hpp"
#include "wrapper/literal_index.hpp"

namespace tarnel::wrapper {

// A span of an output that reads "***" once masked.
struct MaskSpan {
    std::uint32_t from;
    std::uint32_t to;
    friend bool operator<(const MaskSpan& a, const MaskSpan& b) { return a.from < b.from; }
};

// An output as the masking left it, not yet written out: the bytes it was
// read from and, in order, the spans of them that read "***". The caller
// writes it once, into whatever buffer becomes its result, so a large output
// is not copied twice. It holds the captured buffer, and wipes what the child
// printed when it goes.
class MaskedText {
public:
    MaskedText() = default;
    explicit MaskedText(core::SecretValue text) : text_(std::move(text)) {}
    MaskedText(core::SecretValue text, std::vector<MaskSpan> masks);

    static constexpr std::size_t kMaskSize = 3;  // "***"

    std::size_t size() const noexcept { return text_.size() - removed_ + kMaskSize * masks_.size(); }
    bool empty() const noexcept { return size() == 0; }
    // Exactly size() bytes.
    void write_to(std::span<std::uint8_t> out) const noexcept;
    // The masked text as one value, for a caller that keeps it here.
    core::SecretValue joined() const;

private:
    core::SecretValue text_;
    std::vector<MaskSpan> masks_;
    std::size_t removed_ = 0;
};

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
        // Occurrences held at once before the rest is left to the sequential
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
    // As apply(), taking the output's own buffer: what the masking leaves is
    // that buffer and the spans that read "***", written out only by the
    // caller. A pattern that occurs across an inserted "***" (rare) makes the
    // masker write an intermediate text, over the buffer where it fits.
    MaskedText apply_owned(core::SecretValue output);

private:
    class Text;

    Masker(std::vector<core::SecretValue> patterns, Options options);
    void mask(Text& text);
    std::optional<std::size_t> replay(std::size_t first, Text& text);
    bool find_occurrences(std::span<const std::uint8_t> text, std::size_t first, std::vector<LiteralMatch>& found);

    std::vector<core::SecretValue> patterns_;
    std::optional<LiteralIndex> index_;
    std::vector<std::size_t> searched_;  // patterns the index does not hold
    Options options_;
};

}  // namespace tarnel::wrapper
