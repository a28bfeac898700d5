#include "core/keys/thread_stack.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

namespace tarnel::core {
namespace {

std::size_t page_size() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

TEST(ThreadStack, SizeIsRoundedUpToWholePages) {
    const auto stack = ThreadStack::map(3 * page_size() + 1);
    ASSERT_TRUE(stack) << stack.error().display();
    EXPECT_EQ(stack->size(), 4 * page_size());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(stack->base()) % page_size(), 0U);
}

TEST(ThreadStack, WipeZeroesTheTouchedPagesAndLeavesTheMappingUsable) {
    auto stack = ThreadStack::map(16 * page_size());
    ASSERT_TRUE(stack) << stack.error().display();
    const std::span bytes(static_cast<std::uint8_t*>(stack->base()), stack->size());
    // The top, the bottom and a page in between, as a thread might leave them.
    std::memset(bytes.data(), 0xA5, 64);
    std::memset(bytes.data() + 7 * page_size() + 100, 0xA5, 300);
    std::memset(bytes.data() + bytes.size() - 256, 0xA5, 256);
    stack->wipe();
    EXPECT_TRUE(std::ranges::all_of(bytes, [](std::uint8_t b) { return b == 0; }));
    bytes[1] = 1;
    EXPECT_EQ(bytes[1], 1);
}

TEST(ThreadStackDeathTest, ThePageBelowTheStackIsAGuard) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto stack = ThreadStack::map(4 * page_size());
    ASSERT_TRUE(stack) << stack.error().display();
    auto* below = static_cast<volatile std::uint8_t*>(stack->base()) - 1;
    // A plain build dies of SIGSEGV; AddressSanitizer reports it and exits.
    EXPECT_DEATH(*below = 1, "");
}

}  // namespace
}  // namespace tarnel::core
