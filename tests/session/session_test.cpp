#include <gtest/gtest.h>

#include "session_fixture.hpp"

namespace tarnel::ffi {
namespace {

using namespace fixture;

TEST(TempVaultTest, HoldsASixteenByteSaltAndRemovesItselfAfterwards) {
    fs::path base;
    {
        TempVault vault;
        base = vault.base();
        auto salt = read_file(vault.root() / "kdf.salt");
        ASSERT_TRUE(salt);
        EXPECT_EQ(salt->size(), 16U);
        EXPECT_TRUE(vault.audit_lines().empty());
    }
    EXPECT_FALSE(fs::exists(base));
}

TEST(TempVaultTest, PutRecordsReadBackWithTheTestKey) {
    TempVault vault;
    vault.put(literal("dev/db/password", "hunter2"));
    vault.put(totp("dev/db/otp", "seed"), "alpha");
    auto read = vault.get("secret:dev/db/password");
    ASSERT_TRUE(read);
    EXPECT_EQ(std::get<core::LiteralRecord>(read->kind).value.expose_secret_chars(), "hunter2");
    EXPECT_TRUE(fs::exists(vault.record_file("secret:dev/db/otp", "alpha")));
    EXPECT_FALSE(vault.get("secret:dev/db/otp"));
}

}  // namespace
}  // namespace tarnel::ffi
