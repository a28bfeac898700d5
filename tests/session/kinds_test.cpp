// References, keypairs and TOTP enrolments written through the session, and
// codes derived from an enrolment under the reveal policy.

#include <gtest/gtest.h>

#include "core/base/error.hpp"
#include "session_fixture.hpp"

namespace tarnel::session {
namespace {

using namespace fixture;
using core::Decision;
using core::Sensitivity;
using Words = std::vector<std::string>;

// RFC 6238's SHA-1 seed "12345678901234567890" in base32.
constexpr std::string_view kRfcSeed = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

using tarnel::testing::FixedClock;

Session human_session(const TempVault& vault, bool attended, std::shared_ptr<const core::Confirmer> confirmer = nullptr,
                      std::uint64_t now = 59) {
    return vault.session_as(Principal::human(all_operations(), attended),
                            SessionHooks{.clock = std::make_shared<FixedClock>(now),
                                         .confirmer = confirmer ? std::move(confirmer)
                                                                : std::make_shared<MockConfirmer>(Decision::Denied),
                                         .confirm_timeout = std::chrono::seconds(5)});
}

core::SecretRecord totp_record(std::string_view path, Sensitivity sensitivity) {
    core::SecretRecord record = literal(path, "unused", sensitivity, true);
    core::TotpRecord totp;
    totp.seed = core::SecretValue::from_text("12345678901234567890");
    totp.digits = 8;
    record.kind = std::move(totp);
    return record;
}

// Over a literal the kind changes and the metadata stays; metadata given
// beside it is then an edit, as set_with_metadata does.
TEST(KindWrites, OverALiteralTheKindChangesAndGivenMetadataIsAnEdit) {
    TempVault vault;
    vault.put(literal("dev/app/token", "old", Sensitivity::Low, true));
    Session session = human_session(vault, false);
    auto view = session.enrol_totp("secret:dev/app/token", core::SecretValue::from_text(kRfcSeed), {.digits = 8},
                                   {.description = "login"}, std::nullopt);
    ASSERT_TRUE(view) << view.error().message();
    EXPECT_EQ(view->mode, "totp:sha1");
    auto stored = vault.get("secret:dev/app/token");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->meta.sensitivity, Sensitivity::Low);
    EXPECT_EQ(stored->meta.created, kStamp);
    EXPECT_EQ(stored->meta.description, "login");
    EXPECT_EQ(std::get<core::TotpRecord>(stored->kind).seed.expose_secret_chars(), "12345678901234567890");
    EXPECT_EQ(vault.audit_words(), (Words{"edit/value-updated", "edit/metadata-updated"}));
}

TEST(TotpCodes, TheRevealPolicyDecidesAndEveryCodeIsAudited) {
    struct Case {
        const char* name;
        std::string_view at;
        Sensitivity level;
        bool attended;
        Decision answer;
        std::optional<std::string_view> refusal;  // nullopt: the code is returned
        Words audit;
    };
    const Case cases[] = {
        {"medium, unattended", "dev/app/otp", Sensitivity::Medium, false, Decision::Denied, std::nullopt,
         {"access/code-derived"}},
        {"high, approved", "dev/app/otp", Sensitivity::High, true, Decision::Approved, std::nullopt,
         {"approve/approved-code", "access/code-derived"}},
        {"high, denied", "dev/app/otp", Sensitivity::High, true, Decision::Denied, "code not confirmed",
         {"deny/denied-code"}},
        {"high, unattended", "dev/app/otp", Sensitivity::High, false, Decision::Approved,
         "a code of this enrollment needs your confirmation on a terminal", {}},
        {"prod, unattended", "prod/app/otp", Sensitivity::High, false, Decision::Approved,
         "ProdRevealIntoAgentContext", {"deny/denied"}},
        {"inject-only", "dev/app/otp", Sensitivity::InjectOnly, true, Decision::Approved, "InjectOnlyNeverRevealed",
         {"deny/denied"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempVault vault;
        vault.put(totp_record(c.at, c.level));
        Session session = human_session(vault, c.attended, std::make_shared<MockConfirmer>(c.answer));
        auto code = session.totp_code("secret:" + std::string(c.at), std::nullopt);
        if (c.refusal) {
            ASSERT_FALSE(code);
            EXPECT_EQ(denied_text(code.error()), *c.refusal);
        } else {
            ASSERT_TRUE(code) << code.error().message();
            EXPECT_EQ(code->expose_secret_chars(), "94287082");
        }
        EXPECT_EQ(vault.audit_words(), c.audit);
    }
}

TEST(TotpCodes, OnlyATotpEnrolmentHasACode) {
    TempVault vault;
    vault.put(literal("dev/app/token", "v"));
    vault.put(totp_record("dev/app/otp", Sensitivity::Medium), "web");
    Session session = human_session(vault, false);
    auto literal_code = session.totp_code("secret:dev/app/token", std::nullopt);
    ASSERT_FALSE(literal_code);
    EXPECT_EQ(other_text(literal_code.error()), "`secret:dev/app/token` is a literal, not a TOTP enrollment");
    auto absent = session.totp_code("secret:dev/app/none", std::nullopt);
    ASSERT_FALSE(absent);
    EXPECT_TRUE(is_not_found(absent.error()));
    // A project's enrolment, and the global vault behind it.
    EXPECT_TRUE(session.totp_code("secret:dev/app/otp", "web"));
    EXPECT_TRUE(session.totp_code("secret:dev/app/token", "web").error().message().find("literal") !=
                std::string::npos);
    EXPECT_EQ(vault.audit_words(), Words{"access/code-derived"});
}

}  // namespace
}  // namespace tarnel::session
