#include "core/model/secret.hpp"

#include <gtest/gtest.h>

#include <type_traits>


namespace tarnel::core {
namespace {

static_assert(!std::is_copy_constructible_v<SecretValue>);
static_assert(std::is_nothrow_move_constructible_v<SecretValue>);

TEST(SecretValue, HoldsArbitraryBytesAndTakesOwnership) {
    const std::uint8_t raw[] = {0xff, 0x00, 0xc3, 0x28};
    SecretValue value{std::span(raw)};
    SecretValue moved = std::move(value);
    EXPECT_TRUE(value.empty());
    ASSERT_EQ(moved.size(), 4U);
    EXPECT_EQ(moved.expose_secret()[0], 0xff);
    EXPECT_EQ(moved.expose_secret()[3], 0x28);
    EXPECT_TRUE(moved.clone().same_bytes(moved));
    EXPECT_FALSE(SecretValue::from_text("abc").same_bytes(SecretValue::from_text("abd")));

    std::string source = "hunter2-long-enough-to-be-on-the-heap";
    auto taken = SecretValue::take(std::move(source));
    EXPECT_EQ(taken.expose_secret_chars(), "hunter2-long-enough-to-be-on-the-heap");
    EXPECT_TRUE(source.empty());
}

TEST(SecretValue, GrowingKeepsContentsAndTruncateZeroesTheTail) {
    SecretValue value;
    for (int i = 0; i < 1000; ++i) value.push_back(static_cast<std::uint8_t>(i));
    EXPECT_EQ(value.size(), 1000U);
    EXPECT_EQ(value.expose_secret()[999], static_cast<std::uint8_t>(999));
    const auto* tail = value.expose_secret().data() + 10;
    value.truncate(10);
    EXPECT_EQ(value.size(), 10U);
    // The dropped bytes are still inside the allocation and must read as zero.
    EXPECT_EQ(tail[0], 0);
    EXPECT_EQ(tail[989], 0);
}

// An empty value owns no buffer; making one must not hand memset a null
// pointer (the sanitizer build stops on that).
TEST(SecretValue, ZeroedOfNothingIsEmpty) {
    const SecretValue empty = SecretValue::zeroed(0);
    EXPECT_EQ(empty.size(), 0U);
    EXPECT_TRUE(empty.expose_secret().empty());
}

}  // namespace
}  // namespace tarnel::core
