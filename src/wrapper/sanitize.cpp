#include "wrapper/sanitize.hpp"

#include <string.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "wrapper/encoded_forms.hpp"

namespace tarnel::wrapper {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::string_view kMask = "***";
static_assert(kMask.size() == MaskedText::kMaskSize);

bool has_asterisk(Bytes pattern) { return std::find(pattern.begin(), pattern.end(), '*') != pattern.end(); }

const std::uint8_t* find(Bytes text, std::size_t from, Bytes pattern) {
    if (text.size() - from < pattern.size()) return nullptr;
    return static_cast<const std::uint8_t*>(
        ::memmem(text.data() + from, text.size() - from, pattern.data(), pattern.size()));
}

// The rule itself, for one pattern. Nothing when the pattern does not occur.
std::optional<core::SecretValue> replace_each(Bytes text, Bytes pattern) {
    if (pattern.empty() || pattern.size() > text.size()) return std::nullopt;
    const std::uint8_t* hit = find(text, 0, pattern);
    if (hit == nullptr) return std::nullopt;
    core::SecretValue out;
    out.reserve(text.size());
    std::size_t from = 0;
    while (hit != nullptr) {
        const auto at = static_cast<std::size_t>(hit - text.data());
        out.append(text.subspan(from, at - from));
        out.append(kMask);
        from = at + pattern.size();
        hit = find(text, from, pattern);
    }
    out.append(text.subspan(from));
    return out;
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

// The bytes of a base text that have been replaced so far.
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

using Span = MaskSpan;

// The base with each span (sorted, disjoint) written as "***", into exactly
// the bytes that takes.
void write_masked(Bytes base, std::span<const Span> spans, std::uint8_t* out) noexcept {
    std::size_t from = 0;
    for (const Span& span : spans) {
        ::memcpy(out, base.data() + from, span.from - from);
        out += span.from - from;
        ::memcpy(out, kMask.data(), kMask.size());
        out += kMask.size();
        from = span.to;
    }
    // memcpy must not be handed null, which an empty base may be.
    if (from < base.size()) ::memcpy(out, base.data() + from, base.size() - from);
}

// The text as the rule has left it so far, held as the text some patterns
// ago (the base) and the disjoint spans of it that have become "***".
//
// A pattern without '*' occurs in the current text exactly where it occurs in
// the base without touching a replaced span: it cannot take in a byte of an
// inserted "***", so each occurrence lies in base bytes left as they were.
// The same holds for a pattern with '*' unless it occurs across an inserted
// "***", which crosses_a_mask() finds out.
class Replay {
public:
    explicit Replay(Bytes base) : base_(base), covered_(base.size()) {}

    bool changed() const { return !spans_.empty(); }

    // The rule for one pattern, given its occurrences in the base in ascending order.
    void take(std::size_t size, std::span<const std::uint32_t> starts) {
        for (const std::uint32_t start : starts) {
            // Marked at once, so the pattern's own later overlapping occurrences are passed over too.
            if (covered_.any(start, start + size)) continue;
            covered_.mark(start, start + size);
            spans_.push_back({start, static_cast<std::uint32_t>(start + size)});
            removed_ += size;
            shortest_ = std::min(shortest_, size);
        }
    }

    // Whether the pattern occurs in the current text across an inserted
    // "***"; also true when looking would cost more than a fresh scan.
    bool crosses_a_mask(Bytes pattern) {
        if (spans_.empty()) return false;
        const std::size_t reach = pattern.size() - 1;
        if (spans_.size() * (2 * reach + kMask.size()) > 4096 + base_.size() / 4) return true;
        sort_spans();
        for (std::size_t k = 0; k < spans_.size(); ++k) {
            around(k, reach);
            const Bytes text = window_.expose_secret();
            if (find(text, 0, pattern) != nullptr) return true;
        }
        return false;
    }

    core::SecretValue text() {
        sort_spans();
        core::SecretValue out = core::SecretValue::zeroed(base_.size() - removed_ + kMask.size() * spans_.size());
        write_masked(base_, spans_, out.expose_secret_mut().data());
        return out;
    }

    // The spans in order, for the text to be written out later.
    std::vector<Span> take_spans() && {
        sort_spans();
        return std::move(spans_);
    }

    // Whether text() fits over the base itself, written left to right: the
    // writing then never passes the bytes still to be read.
    bool fits_in_base() const { return shortest_ >= kMask.size(); }

    // text(), written over the base, which `held` must be what holds it.
    void write_over(core::SecretValue& held) {
        sort_spans();
        std::uint8_t* const bytes = held.expose_secret_mut().data();
        std::size_t to = 0;
        std::size_t from = 0;
        for (const Span& span : spans_) {
            ::memmove(bytes + to, bytes + from, span.from - from);
            to += span.from - from;
            ::memcpy(bytes + to, kMask.data(), kMask.size());
            to += kMask.size();
            from = span.to;
        }
        ::memmove(bytes + to, bytes + from, base_.size() - from);
        held.truncate(to + base_.size() - from);
    }

private:
    void sort_spans() {
        const auto middle = spans_.begin() + static_cast<std::ptrdiff_t>(sorted_);
        std::sort(middle, spans_.end());
        std::inplace_merge(spans_.begin(), middle, spans_.end());
        sorted_ = spans_.size();
    }

    // Into window_: the mask of span k with up to `reach` bytes of the
    // current text on either side (spans sorted). Any occurrence of a pattern
    // of reach + 1 bytes that overlaps this mask lies inside it, and no other.
    void around(std::size_t k, std::size_t reach) {
        const Bytes mask(reinterpret_cast<const std::uint8_t*>(kMask.data()), kMask.size());
        left_.clear();
        std::size_t need = reach;
        for (std::size_t pos = spans_[k].from, j = k; need > 0 && pos > 0;) {
            std::size_t take = 0;
            if (j > 0 && spans_[j - 1].to == pos) {
                take = std::min(need, mask.size());
                left_.push_back(mask.last(take));
                pos = spans_[--j].from;
            } else {
                take = std::min(need, pos - (j > 0 ? spans_[j - 1].to : 0));
                left_.push_back(base_.subspan(pos - take, take));
                pos -= take;
            }
            need -= take;
        }
        window_.clear();
        for (auto piece = left_.rbegin(); piece != left_.rend(); ++piece) window_.append(*piece);
        window_.append(mask);
        need = reach;
        for (std::size_t pos = spans_[k].to, j = k + 1; need > 0 && pos < base_.size();) {
            std::size_t take = 0;
            if (j < spans_.size() && spans_[j].from == pos) {
                take = std::min(need, mask.size());
                window_.append(mask.first(take));
                pos = spans_[j++].to;
            } else {
                take = std::min(need, (j < spans_.size() ? spans_[j].from : base_.size()) - pos);
                window_.append(base_.subspan(pos, take));
                pos += take;
            }
            need -= take;
        }
    }

    Bytes base_;
    Covered covered_;
    std::vector<Span> spans_;
    std::size_t sorted_ = 0;  // spans_[0, sorted_) are in order
    std::size_t removed_ = 0;
    std::size_t shortest_ = std::numeric_limits<std::size_t>::max();  // of the spans
    std::vector<Bytes> left_;
    core::SecretValue window_;
};

}  // namespace

// The text the rule has left so far: the output itself until a pattern
// changes it, so an output with nothing to mask is copied once, at the end,
// or not at all when the output is the caller's to change.
class Masker::Text {
public:
    explicit Text(Bytes output) : view_(output) {}
    explicit Text(core::SecretValue& output) : view_(output.expose_secret()), output_(&output) {}

    Bytes bytes() const { return view_; }

    void replace(core::SecretValue text) {
        owned_ = std::move(text);
        view_ = owned_.expose_secret();
        changed_ = true;
    }

    void replace(std::optional<core::SecretValue> text) {
        if (text) replace(std::move(*text));
    }

    // The replay's result, written over the current text where that text
    // may be changed and the result fits in it.
    void replace(Replay& replay) {
        core::SecretValue* const held = changed_ ? &owned_ : output_;
        if (held == nullptr || !replay.fits_in_base()) return replace(replay.text());
        replay.write_over(*held);
        view_ = held->expose_secret();
    }

    // The last replay's masks, left unwritten: the text is then the current
    // one with these spans of it read as "***".
    void finish(Replay& replay) { masks_ = std::move(replay).take_spans(); }

    core::SecretValue take() && {
        if (masks_.empty()) return changed_ ? std::move(owned_) : core::SecretValue(view_);
        std::size_t size = view_.size();
        for (const Span& span : masks_) size = size - (span.to - span.from) + kMask.size();
        core::SecretValue out = core::SecretValue::zeroed(size);
        write_masked(view_, masks_, out.expose_secret_mut().data());
        return out;
    }

    // The text, in the output given as changeable or in what replaced it.
    MaskedText masked() && { return MaskedText(changed_ ? std::move(owned_) : std::move(*output_), std::move(masks_)); }

private:
    Bytes view_;
    core::SecretValue* output_ = nullptr;  // the caller's output, when it may be changed
    core::SecretValue owned_;
    bool changed_ = false;  // the text is in owned_
    std::vector<Span> masks_;
};

MaskedText::MaskedText(core::SecretValue text, std::vector<MaskSpan> masks)
    : text_(std::move(text)), masks_(std::move(masks)) {
    for (const MaskSpan& span : masks_) removed_ += span.to - span.from;
}

void MaskedText::write_to(std::span<std::uint8_t> out) const noexcept {
    write_masked(text_.expose_secret(), masks_, out.data());
}

core::SecretValue MaskedText::joined() const {
    if (masks_.empty()) return text_.clone();
    core::SecretValue out = core::SecretValue::zeroed(size());
    write_to(out.expose_secret_mut());
    return out;
}

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
    // The rule skips empty patterns; without them every pattern can be indexed.
    for (core::SecretValue& pattern : patterns) {
        if (!pattern.empty()) patterns_.push_back(std::move(pattern));
    }
    std::vector<Literal> literals;
    for (std::size_t p = 0; p < patterns_.size(); ++p) {
        const Bytes bytes = patterns_[p].expose_secret();
        if (options_.literal_index && bytes.size() <= LiteralIndex::kMaxLiteralSize) {
            literals.push_back({static_cast<std::uint32_t>(p), bytes});
        } else {
            searched_.push_back(p);
        }
    }
    if (!literals.empty()) index_ = LiteralIndex::build(literals);
    if (!index_) {
        for (const Literal& literal : literals) searched_.push_back(literal.id);
        std::sort(searched_.begin(), searched_.end());
    }
}

core::SecretValue Masker::apply(std::span<const std::uint8_t> output) {
    Text text(output);
    mask(text);
    return std::move(text).take();
}

MaskedText Masker::apply_owned(core::SecretValue output) {
    Text text(output);
    mask(text);
    return std::move(text).masked();
}

void Masker::mask(Text& text) {
    for (std::size_t next = 0; next < patterns_.size();) {
        const std::optional<std::size_t> stop = replay(next, text);
        if (!stop) {
            for (std::size_t p = next; p < patterns_.size(); ++p) {
                text.replace(replace_each(text.bytes(), patterns_[p].expose_secret()));
            }
            break;
        }
        if (*stop == patterns_.size()) break;
        text.replace(replace_each(text.bytes(), patterns_[*stop].expose_secret()));
        next = *stop + 1;
    }
}

// Occurrences in `text` of the patterns from `first` on. False when they
// would take too much memory.
bool Masker::find_occurrences(Bytes text, std::size_t first, std::vector<LiteralMatch>& found) {
    const std::size_t limit = options_.max_matches != 0 ? options_.max_matches : 65536 + text.size() / 32;
    if (index_ && !index_->scan(text, static_cast<std::uint32_t>(first), limit, found)) return false;
    for (const std::size_t p : searched_) {
        if (p < first) continue;
        if (!find_all(text, patterns_[p].expose_secret(), static_cast<std::uint32_t>(p), limit, found)) return false;
    }
    return true;
}

// The rule, pattern by pattern from `first` on, replayed on the occurrences
// found in one search of the text. Stops before a pattern that occurs across
// an inserted "***", which the caller applies by the rule itself before
// searching again; returns where it stopped (the pattern count when done),
// with `text` brought up to date, except that the masks of a replay that
// reaches the end are left to whoever writes the text out. Nothing when the
// occurrences would take too much memory; `text` is then unchanged.
std::optional<std::size_t> Masker::replay(std::size_t first, Text& text) {
    const Bytes base = text.bytes();
    if (base.size() > LiteralIndex::kMaxTextSize) return std::nullopt;
    std::vector<LiteralMatch> found;
    if (!find_occurrences(base, first, found)) return std::nullopt;
    if (found.empty()) return patterns_.size();

    // Start offsets grouped by pattern, in ascending order within each.
    const std::size_t count = patterns_.size() - first;
    std::vector<std::size_t> group(count + 1, 0);
    for (const LiteralMatch& match : found) ++group[match.id - first + 1];
    for (std::size_t i = 0; i < count; ++i) group[i + 1] += group[i];
    std::vector<std::uint32_t> starts(found.size());
    std::vector<std::size_t> next(group.begin(), group.end() - 1);
    for (const LiteralMatch& match : found) {
        starts[next[match.id - first]++] = match.end - static_cast<std::uint32_t>(patterns_[match.id].size());
    }
    found = {};

    Replay state(base);
    std::size_t p = first;
    for (; p < patterns_.size(); ++p) {
        const Bytes pattern = patterns_[p].expose_secret();
        if (has_asterisk(pattern) && state.crosses_a_mask(pattern)) break;
        const auto from = starts.begin() + static_cast<std::ptrdiff_t>(group[p - first]);
        const auto to = starts.begin() + static_cast<std::ptrdiff_t>(group[p - first + 1]);
        if (!std::is_sorted(from, to)) std::sort(from, to);
        state.take(pattern.size(), std::span(from, to));
    }
    if (!state.changed()) return p;
    if (p == patterns_.size()) {
        text.finish(state);
    } else {
        text.replace(state);
    }
    return p;
}

core::SecretValue mask_secrets(std::span<const std::uint8_t> output, std::span<const core::SecretValue> secrets) {
    return Masker::exact(secrets).apply(output);
}

core::SecretValue mask_output(std::span<const std::uint8_t> output, std::span<const core::SecretValue> secrets) {
    return Masker::with_encoded_forms(secrets).apply(output);
}

}  // namespace tarnel::wrapper
