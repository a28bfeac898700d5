#include "core/secret.hpp"

#include <gtest/gtest.h>

#include <type_traits>

#include "core/error.hpp"

namespace tarnel::core {
namespace {

static_assert(!std::is_copy_constructible_v<SecretValue>);
static_assert(std::is_nothrow_move_constructible_v<SecretValue>);

TEST(SecretValue, HoldsArbitraryBytesAndMovesOwnership) {
    const std::uint8_t raw[] = {0xff, 0x00, 0xc3, 0x28};
    SecretValue value{std::span(raw)};
    SecretValue moved = std::move(value);
    EXPECT_TRUE(value.empty());
    ASSERT_EQ(moved.size(), 4U);
    EXPECT_EQ(moved.expose_secret()[0], 0xff);
    EXPECT_EQ(moved.expose_secret()[3], 0x28);
    EXPECT_TRUE(moved.clone().same_bytes(moved));
    EXPECT_FALSE(SecretValue::from_text("abc").same_bytes(SecretValue::from_text("abd")));
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

TEST(SecretValue, TakeWipesTheSourceString) {
    std::string source = "hunter2-long-enough-to-be-on-the-heap";
    auto value = SecretValue::take(std::move(source));
    EXPECT_EQ(value.expose_secret_chars(), "hunter2-long-enough-to-be-on-the-heap");
    EXPECT_TRUE(source.empty());
}

TEST(CoreErrorDisplay, KindsRenderTheirFixedTexts) {
    EXPECT_EQ(CoreError::crypto().display(), "crypto operation failed");
    EXPECT_EQ(CoreError(ErrorKind::Crypto, "ignored").display(), "crypto operation failed");
    EXPECT_EQ(CoreError(ErrorKind::Io, "disk full").display(), "vault I/O failed: disk full");
    EXPECT_EQ(CoreError(ErrorKind::Audit, "").display(), "audit error: ");
    EXPECT_EQ(CoreError(ErrorKind::Serialization, "x").display(), "record serialization failed: x");
    const std::pair<ErrorKind, std::string_view> all[] = {
        {ErrorKind::InvalidCoordinate, "invalid coordinate URI: d"},
        {ErrorKind::Keyring, "keyring operation failed: d"},
        {ErrorKind::MetadataIndex, "metadata index failed: d"},
        {ErrorKind::NotStorable, "coordinate is not storable: d"},
        {ErrorKind::Policy, "policy error: d"},
        {ErrorKind::EnvRefs, "env-refs error: d"},
        {ErrorKind::Keypair, "keypair operation failed: d"},
        {ErrorKind::Totp, "totp operation failed: d"},
        {ErrorKind::Provider, "provider error: d"},
        {ErrorKind::Package, "package error: d"},
        {ErrorKind::Format, "format error: d"},
    };
    for (const auto& [kind, text] : all) EXPECT_EQ(CoreError(kind, "d").display(), text);
}

}  // namespace
}  // namespace tarnel::core
