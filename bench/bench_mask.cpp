// Masking a child's output: mask_output (the secrets, then their encoded
// forms) against the plain sequential loop, one replace pass per pattern as
// Python's bytes.replace in sequence would do, over the same 64 MiB of
// printable output with the values and some of their encodings scattered in
// it. Prints the times and ratios of one run.
#include <sodium.h>
#include <string.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "core/model/secret.hpp"
#include "wrapper/encoded_forms.hpp"
#include "wrapper/sanitize.hpp"

namespace {

using namespace tarnel;
using bench::die;
using bench::micros;

constexpr std::size_t kOutputSize = 64u << 20;
constexpr std::size_t kValueSize = 32;
constexpr int kRawCopies = 10;

std::string printable(std::mt19937_64& random, std::size_t size) {
    std::string text(size, ' ');
    for (char& c : text) c = static_cast<char>(' ' + random() % 95);
    return text;
}

std::string base64(const std::string& data, int variant) {
    std::string out(sodium_base64_ENCODED_LEN(data.size(), variant), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                      variant);
    out.resize(out.size() - 1);
    return out;
}

std::string hex(const std::string& data) {
    std::string out(2 * data.size() + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), reinterpret_cast<const unsigned char*>(data.data()), data.size());
    out.resize(out.size() - 1);
    return out;
}

// What a child might print of a value besides the value itself.
std::vector<std::string> printed_forms(const std::string& value) {
    return {base64(value, sodium_base64_VARIANT_ORIGINAL),
            base64("k=" + value, sodium_base64_VARIANT_URLSAFE_NO_PADDING),
            base64("x" + value + "yz", sodium_base64_VARIANT_ORIGINAL), hex(value)};
}

void plant(std::string& output, const std::string& piece, std::mt19937_64& random) {
    output.replace(random() % (output.size() - piece.size()), piece.size(), piece);
}

// The baseline: one pass per pattern, each over the text the last one left.
std::string sequential(std::string text, const std::vector<std::string>& patterns) {
    for (const std::string& pattern : patterns) {
        const char* hit = static_cast<const char*>(::memmem(text.data(), text.size(), pattern.data(), pattern.size()));
        if (hit == nullptr) continue;
        std::string out;
        out.reserve(text.size());
        std::size_t from = 0;
        while (hit != nullptr) {
            const auto at = static_cast<std::size_t>(hit - text.data());
            out.append(text, from, at - from);
            out += "***";
            from = at + pattern.size();
            hit = static_cast<const char*>(
                ::memmem(text.data() + from, text.size() - from, pattern.data(), pattern.size()));
        }
        out.append(text, from);
        text = std::move(out);
    }
    return text;
}

void run(const std::string& output, const std::vector<std::string>& values) {
    std::vector<core::SecretValue> secrets;
    for (const std::string& value : values) secrets.push_back(core::SecretValue::from_text(value));
    std::vector<std::string> patterns = values;
    for (const core::SecretValue& form : wrapper::encoded_forms(secrets)) {
        patterns.emplace_back(form.expose_secret_chars());
    }
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(output.data()), output.size());

    core::SecretValue exact, full;
    std::string exact_reference, full_reference;
    const double t_exact = micros([&] { exact = wrapper::mask_secrets(bytes, secrets); });
    const double t_full = micros([&] { full = wrapper::mask_output(bytes, secrets); });
    const double t_values = micros([&] { exact_reference = sequential(output, values); });
    const double t_patterns = micros([&] { full_reference = sequential(output, patterns); });
    if (exact.expose_secret_chars() != exact_reference || full.expose_secret_chars() != full_reference) {
        die("masked output differs from the sequential loop");
    }
    std::printf("%3zu values (%zu patterns with their forms):\n", values.size(), patterns.size());
    std::printf("    mask_output %8.1f ms; sequential loop over the same %4zu patterns %9.1f ms; ratio %.4f\n",
                t_full / 1000, patterns.size(), t_patterns / 1000, t_full / t_patterns);
    std::printf("    mask_output %8.1f ms; sequential loop over the %3zu values only     %9.1f ms; ratio %.4f\n",
                t_full / 1000, values.size(), t_values / 1000, t_full / t_values);
    std::printf("    mask_secrets %7.1f ms; sequential loop over the %3zu values          %9.1f ms; ratio %.4f\n",
                t_exact / 1000, values.size(), t_values / 1000, t_exact / t_values);
}

}  // namespace

int main() {
    if (sodium_init() < 0) die("libsodium did not start");
    std::mt19937_64 random(2026);
    std::vector<std::string> values;
    for (int i = 0; i < 100; ++i) values.push_back(printable(random, kValueSize));
    std::string output = printable(random, kOutputSize);
    for (const std::string& value : values) {
        for (int copy = 0; copy < kRawCopies; ++copy) plant(output, value, random);
        for (const std::string& form : printed_forms(value)) plant(output, form, random);
    }
    std::printf("machine: %s\n", bench::machine().c_str());
    std::printf(
        "%zu MiB of printable output; each %zu-byte value planted %d times as it is and once in each of 4 "
        "encodings\n",
        kOutputSize >> 20, kValueSize, kRawCopies);
    run(output, values);
    run(output, {values.front()});
    return 0;
}
