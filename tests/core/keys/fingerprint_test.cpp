#include "core/keys/fingerprint.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "core/base/digest.hpp"

namespace tarnel::core {
namespace {

// BLAKE3 from Python's `blake3` package, an implementation independent of ours.
std::string python_blake3_hex(std::span<const std::uint8_t> bytes) {
    const std::string command = std::string(TARNEL_TEST_PYTHON) +
                                " -c 'import sys, blake3; print(blake3.blake3(bytes.fromhex(sys.argv[1])).hexdigest())' '" +
                                to_lower_hex(bytes) + "'";
    FILE* pipe = ::popen(command.c_str(), "re");
    if (pipe == nullptr) return "popen failed";
    std::string out;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    const int status = ::pclose(pipe);
    if (status != 0) return "python exited with " + std::to_string(status);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST(Fingerprint, IsTheDigestPrefixOfAnIndependentBlake3) {
    const std::vector<std::vector<std::uint8_t>> inputs = {
        {}, {'a', 'b', 'c'}, std::vector<std::uint8_t>(1025, 0xA5), {0x00, 0xff, 0xc3, 0x28}};
    for (const auto& input : inputs) {
        const std::string expected = python_blake3_hex(input);
        ASSERT_EQ(expected.size(), 64U) << expected;
        const std::string print = fingerprint(input);
        EXPECT_EQ(print, expected.substr(0, 8));
    }
}

}  // namespace
}  // namespace tarnel::core
