#include "wrapper/encoded_forms.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace tarnel::wrapper {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::array kBase64Variants = {sodium_base64_VARIANT_ORIGINAL, sodium_base64_VARIANT_ORIGINAL_NO_PADDING,
                                        sodium_base64_VARIANT_URLSAFE, sodium_base64_VARIANT_URLSAFE_NO_PADDING};

core::SecretValue slice(const core::SecretValue& text, std::size_t from, std::size_t to) {
    return core::SecretValue(text.expose_secret().subspan(from, to - from));
}

// base64 of `lead` zero bytes followed by the value.
core::SecretValue base64_after(Bytes value, std::size_t lead, int variant) {
    core::SecretValue data = core::SecretValue::zeroed(lead);
    data.append(value);
    core::SecretValue text = core::SecretValue::zeroed(sodium_base64_ENCODED_LEN(data.size(), variant));
    sodium_bin2base64(reinterpret_cast<char*>(text.expose_secret_mut().data()), text.size(),
                      data.expose_secret().data(), data.size(), variant);
    text.truncate(text.size() - 1);  // the terminating NUL
    return text;
}

void add_base64(Bytes value, std::vector<core::SecretValue>& forms) {
    for (std::size_t lead = 0; lead < 3; ++lead) {
        // Characters are 6-bit groups: skip those that mix in the preceding
        // bytes, stop before the one that mixes in what follows.
        const std::size_t first = (8 * lead + 5) / 6;
        const std::size_t whole = 8 * (lead + value.size()) / 6;
        for (const int variant : kBase64Variants) {
            const core::SecretValue text = base64_after(value, lead, variant);
            forms.push_back(slice(text, first, whole));
            if (text.size() > whole) forms.push_back(slice(text, first, text.size()));
        }
    }
}

core::SecretValue lower_hex(Bytes value) {
    core::SecretValue hex = core::SecretValue::zeroed(2 * value.size() + 1);
    sodium_bin2hex(reinterpret_cast<char*>(hex.expose_secret_mut().data()), hex.size(), value.data(), value.size());
    hex.truncate(2 * value.size());
    return hex;
}

core::SecretValue upper_case(const core::SecretValue& hex) {
    core::SecretValue upper = hex.clone();
    for (std::uint8_t& c : upper.expose_secret_mut()) {
        if (c >= 'a' && c <= 'f') c = static_cast<std::uint8_t>(c - 'a' + 'A');
    }
    return upper;
}

bool unreserved(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// The digits come from the value's hex text, in the case it is in.
core::SecretValue percent_encoded(Bytes value, const core::SecretValue& hex) {
    const Bytes digits = hex.expose_secret();
    core::SecretValue out;
    out.reserve(3 * value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (unreserved(value[i])) {
            out.push_back(value[i]);
        } else {
            out.push_back('%');
            out.append(digits.subspan(2 * i, 2));
        }
    }
    return out;
}

void add_lines(Bytes value, std::vector<core::SecretValue>& forms) {
    if (std::find(value.begin(), value.end(), '\n') == value.end()) return;
    std::size_t start = 0;
    while (start <= value.size()) {
        const auto stop = std::find(value.begin() + static_cast<std::ptrdiff_t>(start), value.end(), '\n');
        std::size_t end = static_cast<std::size_t>(stop - value.begin());
        const std::size_t next = end + 1;
        if (stop != value.end() && end > start && value[end - 1] == '\r') --end;
        forms.push_back(core::SecretValue(value.subspan(start, end - start)));
        start = next;
    }
}

bool bytes_less(Bytes a, Bytes b) { return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end()); }

bool same(Bytes a, Bytes b) { return std::equal(a.begin(), a.end(), b.begin(), b.end()); }

// Indices of the candidates to keep: long enough, and the first of each run
// of identical byte strings unless a secret is among that run.
std::vector<std::size_t> distinct(std::span<const core::SecretValue> secrets,
                                  const std::vector<core::SecretValue>& candidates) {
    struct Entry {
        Bytes bytes;
        bool secret;
        std::size_t index;
    };
    std::vector<Entry> entries;
    for (const core::SecretValue& secret : secrets) entries.push_back({secret.expose_secret(), true, 0});
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i].size() >= kMinFormSize) entries.push_back({candidates[i].expose_secret(), false, i});
    }
    // Secrets sort before candidates among equals, candidates by index.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return bytes_less(a.bytes, b.bytes); });
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].secret || (i > 0 && same(entries[i - 1].bytes, entries[i].bytes))) continue;
        kept.push_back(entries[i].index);
    }
    return kept;
}

}  // namespace

std::vector<core::SecretValue> encoded_forms(std::span<const core::SecretValue> secrets) {
    std::vector<core::SecretValue> candidates;
    for (const core::SecretValue& secret : secrets) {
        const Bytes value = secret.expose_secret();
        add_lines(value, candidates);
        if (value.size() < kMinFormSize) continue;
        add_base64(value, candidates);
        const core::SecretValue hex = lower_hex(value);
        const core::SecretValue upper = upper_case(hex);
        candidates.push_back(percent_encoded(value, hex));
        candidates.push_back(percent_encoded(value, upper));
        candidates.push_back(hex.clone());
        candidates.push_back(upper.clone());
    }
    std::vector<std::size_t> kept = distinct(secrets, candidates);
    std::sort(kept.begin(), kept.end(), [&](std::size_t a, std::size_t b) {
        if (candidates[a].size() != candidates[b].size()) return candidates[a].size() > candidates[b].size();
        return a < b;
    });
    std::vector<core::SecretValue> forms;
    forms.reserve(kept.size());
    for (const std::size_t index : kept) forms.push_back(std::move(candidates[index]));
    return forms;
}

}  // namespace tarnel::wrapper
