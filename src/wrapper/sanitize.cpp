#include "wrapper/sanitize.hpp"

#include <string.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "wrapper/encoded_forms.hpp"

namespace tarnel::wrapper {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::string_view kMask = "***";

bool has_asterisk(Bytes pattern) { return std::find(pattern.begin(), pattern.end(), '*') != pattern.end(); }

const std::uint8_t* find(Bytes text, std::size_t from, Bytes pattern) {
    if (text.size() - from < pattern.size()) return nullptr;
    return static_cast<const std::uint8_t*>(
        ::memmem(text.data() + from, text.size() - from, pattern.data(), pattern.size()));
}

// The rule itself, for one pattern.
void replace_each(core::SecretValue& text, Bytes pattern) {
    const Bytes current = text.expose_secret();
    if (pattern.empty() || pattern.size() > current.size()) return;
    const std::uint8_t* hit = find(current, 0, pattern);
    if (hit == nullptr) return;
    core::SecretValue out;
    out.reserve(current.size());
    std::size_t from = 0;
    while (hit != nullptr) {
        const auto at = static_cast<std::size_t>(hit - current.data());
        out.append(current.subspan(from, at - from));
        out.append(kMask);
        from = at + pattern.size();
        hit = find(current, from, pattern);
    }
    out.append(current.subspan(from));
    text = std::move(out);
}

// Every occurrence, overlapping ones included, as the index reports them.
bool find_all(Bytes text, Bytes pattern, std::uint32_t id, std::size_t limit, std::vector<LiteralMatch>& found) {
    for (const std::uint8_t* hit = find(text, 0, pattern); hit != nullptr;
         hit = find(text, static_cast<std::size_t>(hit - text.data()) + 1, pattern)) {
        if (found.size() >= limit) return false;
        found.push_back({id, static_cast<std::uint32_t>(hit - text.data() + pattern.size())});
    }
    return true;
}

// The bytes of a run's starting text that have been replaced so far.
class Covered {
public:
    explicit Covered(std::size_t size) : words_((size + 63) / 64, 0) {}

    bool any(std::size_t from, std::size_t to) const {
        bool seen = false;
        each_word(words_, from, to, [&](std::uint64_t word, std::uint64_t mask) { seen = seen || (word & mask) != 0; });
        return seen;
    }

    void mark(std::size_t from, std::size_t to) {
        each_word(words_, from, to, [](std::uint64_t& word, std::uint64_t mask) { word |= mask; });
    }

private:
    // Calls body(word, mask of the bits of [from, to) in it) for each word the range touches.
    template <class Words, class Body>
    static void each_word(Words& words, std::size_t from, std::size_t to, Body&& body) {
        const std::size_t first = from / 64;
        const std::size_t last = (to - 1) / 64;
        for (std::size_t i = first; i <= last; ++i) {
            std::uint64_t mask = ~std::uint64_t{0};
            if (i == first) mask &= ~std::uint64_t{0} << (from % 64);
            if (i == last) mask &= ~std::uint64_t{0} >> (63 - (to - 1) % 64);
            body(words[i], mask);
        }
    }

    std::vector<std::uint64_t> words_;
};

struct Span {
    std::uint32_t from;
    std::uint32_t to;
    friend bool operator<(const Span& a, const Span& b) { return a.from < b.from; }
};

}  // namespace

Masker Masker::exact(std::span<const core::SecretValue> secrets, Options options) {
    std::vector<core::SecretValue> patterns;
    patterns.reserve(secrets.size());
    for (const core::SecretValue& secret : secrets) patterns.push_back(secret.clone());
    return Masker(std::move(patterns), options);
}

// The forms come after every secret, longest first, and are masked by the
// same rule: each replaces its non-overlapping occurrences, left to right, in
// the text the secrets and the longer forms left. Where two forms overlap, the
// longer one is masked whole and the shorter one still wherever it lies
// outside it.
Masker Masker::with_encoded_forms(std::span<const core::SecretValue> secrets, Options options) {
    std::vector<core::SecretValue> forms = encoded_forms(secrets);
    std::vector<core::SecretValue> patterns;
    patterns.reserve(secrets.size() + forms.size());
    for (const core::SecretValue& secret : secrets) patterns.push_back(secret.clone());
    for (core::SecretValue& form : forms) patterns.push_back(std::move(form));
    return Masker(std::move(patterns), options);
}

Masker::Masker(std::vector<core::SecretValue> patterns, Options options) : options_(options) {
    // Empty patterns are skipped by the rule; dropping them here keeps every run's patterns matchable.
    for (core::SecretValue& pattern : patterns) {
        if (!pattern.empty()) patterns_.push_back(std::move(pattern));
    }
    for (std::size_t begin = 0; begin < patterns_.size();) {
        Run run;
        run.begin = begin;
        run.end = begin + 1;
        if (has_asterisk(patterns_[begin].expose_secret())) {
            run.sequential = true;
        } else {
            while (run.end < patterns_.size() && !has_asterisk(patterns_[run.end].expose_secret())) ++run.end;
            index(run);
        }
        begin = run.end;
        runs_.push_back(std::move(run));
    }
}

void Masker::index(Run& run) {
    std::vector<Literal> literals;
    for (std::size_t p = run.begin; p < run.end; ++p) {
        const Bytes bytes = patterns_[p].expose_secret();
        if (options_.literal_index && bytes.size() <= LiteralIndex::kMaxLiteralSize) {
            literals.push_back({static_cast<std::uint32_t>(p - run.begin), bytes});
        } else {
            run.searched.push_back(p);
        }
    }
    if (!literals.empty()) run.index = LiteralIndex::build(literals);
    if (!run.index) {
        for (const Literal& literal : literals) run.searched.push_back(run.begin + literal.id);
    }
}

core::SecretValue Masker::apply(std::span<const std::uint8_t> output) {
    core::SecretValue text(output);
    for (Run& run : runs_) {
        if (!run.sequential && apply_run(run, text)) continue;
        for (std::size_t p = run.begin; p < run.end; ++p) replace_each(text, patterns_[p].expose_secret());
    }
    return text;
}

// One search of the run's starting text for every pattern of the run, then
// the rule replayed pattern by pattern on the occurrences: in order, each
// occurrence that touches nothing replaced so far is replaced. False, with
// the text unchanged, when the occurrences would take too much memory.
bool Masker::apply_run(Run& run, core::SecretValue& text) {
    const Bytes base = text.expose_secret();
    if (base.size() > LiteralIndex::kMaxTextSize) return false;
    const std::size_t limit = options_.max_matches != 0 ? options_.max_matches : 65536 + base.size() / 32;

    std::vector<LiteralMatch> found;
    if (run.index && !run.index->scan(base, limit, found)) return false;
    for (const std::size_t p : run.searched) {
        const auto id = static_cast<std::uint32_t>(p - run.begin);
        if (!find_all(base, patterns_[p].expose_secret(), id, limit, found)) return false;
    }
    if (found.empty()) return true;

    // Start offsets grouped by pattern.
    const std::size_t count = run.end - run.begin;
    std::vector<std::size_t> first(count + 1, 0);
    for (const LiteralMatch& match : found) ++first[match.id + 1];
    for (std::size_t i = 0; i < count; ++i) first[i + 1] += first[i];
    std::vector<std::uint32_t> starts(found.size());
    std::vector<std::size_t> next(first.begin(), first.end() - 1);
    for (const LiteralMatch& match : found) {
        starts[next[match.id]++] = match.end - static_cast<std::uint32_t>(patterns_[run.begin + match.id].size());
    }
    found = {};

    Covered covered(base.size());
    std::vector<Span> replaced;
    std::size_t removed = 0;
    for (std::size_t id = 0; id < count; ++id) {
        const auto from = starts.begin() + static_cast<std::ptrdiff_t>(first[id]);
        const auto to = starts.begin() + static_cast<std::ptrdiff_t>(first[id + 1]);
        if (!std::is_sorted(from, to)) std::sort(from, to);
        const std::size_t size = patterns_[run.begin + id].size();
        for (auto start = from; start != to; ++start) {
            // Marked at once, so the pattern's own later overlapping occurrences are passed over too.
            if (covered.any(*start, *start + size)) continue;
            covered.mark(*start, *start + size);
            replaced.push_back({*start, static_cast<std::uint32_t>(*start + size)});
            removed += size;
        }
    }
    if (replaced.empty()) return true;

    std::sort(replaced.begin(), replaced.end());
    core::SecretValue out;
    out.reserve(base.size() - removed + kMask.size() * replaced.size());
    std::size_t from = 0;
    for (const Span& span : replaced) {
        out.append(base.subspan(from, span.from - from));
        out.append(kMask);
        from = span.to;
    }
    out.append(base.subspan(from));
    text = std::move(out);
    return true;
}

core::SecretValue mask_secrets(std::span<const std::uint8_t> output, std::span<const core::SecretValue> secrets) {
    return Masker::exact(secrets).apply(output);
}

core::SecretValue mask_output(std::span<const std::uint8_t> output, std::span<const core::SecretValue> secrets) {
    return Masker::with_encoded_forms(secrets).apply(output);
}

}  // namespace tarnel::wrapper
