#include <gtest/gtest.h>

#include "core/fingerprint.hpp"
#include "session_fixture.hpp"

namespace tarnel::ffi {
namespace {

using namespace fixture;
using core::KeyAlgorithm;
using core::Operation;
using core::Sensitivity;
using core::TotpAlgorithm;
using Names = std::set<std::string, std::less<>>;

std::string fingerprint_of_text(std::string_view text) {
    return core::fingerprint({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

bool is_not_found(const FfiError& error) { return std::holds_alternative<FfiError::NotFound>(error.kind()); }

std::vector<std::pair<std::string, std::string>> coordinates_and_origins(const std::vector<RecordView>& views) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& view : views) out.emplace_back(view.coordinate, view.origin);
    return out;
}

// --- view_of --------------------------------------------------------------

TEST(ViewOfTest, LiteralIsKnownByItsValuesFingerprint) {
    auto record = literal("dev/db/password", "hunter2", Sensitivity::Medium, false);
    record.meta.description = "not shown";
    RecordView view = view_of(record, std::nullopt);
    EXPECT_EQ(view, (RecordView{
                        .coordinate = "dev/db/password",
                        .environment = "dev",
                        .component = "db",
                        .key = "password",
                        .sensitivity = "medium",
                        .mode = "literal",
                        .fingerprint = fingerprint_of_text("hunter2"),
                        .origin = "global",
                        .reference = std::nullopt,
                        .revealable = false,
                    }));
}

TEST(ViewOfTest, ReferenceShowsItsUriBehindAnArrow) {
    RecordView view = view_of(reference("prod/api/token", "aws-sm://eu-west-1/token"), "alpha");
    EXPECT_EQ(view.mode, "reference");
    EXPECT_EQ(view.fingerprint, "\xE2\x86\x92 aws-sm://eu-west-1/token");
    EXPECT_EQ(view.reference, std::optional<std::string>("aws-sm://eu-west-1/token"));
    EXPECT_EQ(view.origin, "project:alpha");
    EXPECT_TRUE(view.revealable);
}

TEST(ViewOfTest, KeypairIsKnownByItsPublicKey) {
    RecordView full = view_of(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA"), std::nullopt);
    EXPECT_EQ(full.mode, "keypair:ed25519");
    EXPECT_EQ(full.fingerprint, fingerprint_of_text("ssh-ed25519 AAAA"));
    EXPECT_EQ(full.reference, std::nullopt);

    RecordView other_private = view_of(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA", "other"), std::nullopt);
    EXPECT_EQ(other_private.fingerprint, full.fingerprint);

    RecordView public_only =
        view_of(keypair("dev/ssh/deploy", "ssh-rsa BBBB", std::nullopt, KeyAlgorithm::Rsa), std::nullopt);
    EXPECT_EQ(public_only.mode, "pubkey:rsa");
    EXPECT_EQ(public_only.fingerprint, fingerprint_of_text("ssh-rsa BBBB"));
    EXPECT_EQ(view_of(keypair("dev/ssh/deploy", "k", "p", KeyAlgorithm::Rsa), std::nullopt).mode, "keypair:rsa");
    EXPECT_EQ(view_of(keypair("dev/ssh/deploy", "k", std::nullopt), std::nullopt).mode, "pubkey:ed25519");
}

TEST(ViewOfTest, TotpIsKnownByItsParametersOnly) {
    RecordView sha1 = view_of(totp("dev/mail/otp", "seed-one"), std::nullopt);
    EXPECT_EQ(sha1.mode, "totp:sha1");
    EXPECT_EQ(sha1.fingerprint, fingerprint_of_text("totp:SHA1:6:30"));
    EXPECT_EQ(view_of(totp("dev/mail/otp", "seed-two"), std::nullopt).fingerprint, sha1.fingerprint);

    RecordView sha256 = view_of(totp("dev/mail/otp", "s", TotpAlgorithm::Sha256, 8, 60), std::nullopt);
    EXPECT_EQ(sha256.mode, "totp:sha256");
    EXPECT_EQ(sha256.fingerprint, fingerprint_of_text("totp:SHA256:8:60"));
    RecordView sha512 = view_of(totp("dev/mail/otp", "s", TotpAlgorithm::Sha512, 7, 255), std::nullopt);
    EXPECT_EQ(sha512.mode, "totp:sha512");
    EXPECT_EQ(sha512.fingerprint, fingerprint_of_text("totp:SHA512:7:255"));
    EXPECT_EQ(sha512.reference, std::nullopt);
}

TEST(ViewOfTest, SensitivityIsTheLevelsNameInLowerCase) {
    const std::pair<Sensitivity, std::string_view> names[] = {
        {Sensitivity::Low, "low"},
        {Sensitivity::Medium, "medium"},
        {Sensitivity::High, "high"},
        {Sensitivity::InjectOnly, "injectonly"},
    };
    for (const auto& [level, name] : names) {
        EXPECT_EQ(view_of(literal("dev/a/b", "v", level), std::nullopt).sensitivity, name);
    }
}

// --- list_visible ---------------------------------------------------------

class MetadataTest : public ::testing::Test {
protected:
    void SetUp() override {
        vault_.put(literal("dev/db/password", "global-dev"));
        vault_.put(literal("prod/db/password", "global-prod"));
        vault_.put(literal("dev/db/password", "alpha-dev"), "alpha");
        vault_.put(reference("prod/api/token", "azure-kv://kv/token"), "alpha");
        vault_.put(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA"), "beta");
    }

    TempVault vault_;
};

TEST_F(MetadataTest, ListShowsGlobalThenEachProjectWithOrigins) {
    Session session = vault_.session(scope_of({Operation::Metadata}));
    auto views = session.list_visible();
    ASSERT_TRUE(views) << views.error().message();
    ASSERT_EQ(views->size(), 5U);
    auto seen = coordinates_and_origins(*views);
    // Within one vault the order is the store's; across vaults it is fixed.
    std::multiset<std::pair<std::string, std::string>> global(seen.begin(), seen.begin() + 2);
    EXPECT_EQ(global, (std::multiset<std::pair<std::string, std::string>>{
                          {"dev/db/password", "global"}, {"prod/db/password", "global"}}));
    std::multiset<std::pair<std::string, std::string>> alpha(seen.begin() + 2, seen.begin() + 4);
    EXPECT_EQ(alpha, (std::multiset<std::pair<std::string, std::string>>{
                         {"dev/db/password", "project:alpha"}, {"prod/api/token", "project:alpha"}}));
    EXPECT_EQ(seen[4], (std::pair<std::string, std::string>{"dev/ssh/deploy", "project:beta"}));
}

TEST_F(MetadataTest, ListWithoutMetadataIsEmpty) {
    Session session = vault_.session(scope_of({Operation::Reveal, Operation::Write, Operation::Inject}));
    auto views = session.list_visible();
    ASSERT_TRUE(views);
    EXPECT_TRUE(views->empty());
}

TEST_F(MetadataTest, ListWithNamedProjectsLeavesOutTheGlobalVault) {
    Session session = vault_.session(scope_of({Operation::Metadata}, Names{"beta"}));
    auto views = session.list_visible();
    ASSERT_TRUE(views);
    EXPECT_EQ(coordinates_and_origins(*views),
              (std::vector<std::pair<std::string, std::string>>{{"dev/ssh/deploy", "project:beta"}}));
}

TEST_F(MetadataTest, ListFollowsTheEnvironmentFilter) {
    Session session = vault_.session(scope_of({Operation::Metadata}, std::nullopt, Names{"prod"}));
    auto views = session.list_visible();
    ASSERT_TRUE(views);
    std::multiset<std::pair<std::string, std::string>> seen;
    for (const auto& item : coordinates_and_origins(*views)) seen.insert(item);
    EXPECT_EQ(seen, (std::multiset<std::pair<std::string, std::string>>{
                        {"prod/db/password", "global"}, {"prod/api/token", "project:alpha"}}));
}

TEST_F(MetadataTest, ListWithAnEmptyProjectSetSeesNothing) {
    Session session = vault_.session(scope_of({Operation::Metadata}, Names{}));
    auto views = session.list_visible();
    ASSERT_TRUE(views);
    EXPECT_TRUE(views->empty());
}

TEST_F(MetadataTest, ListSkipsARecordWhoseStoredCoordinateDoesNotParse) {
    auto odd = literal("dev/db/other", "v");
    odd.meta.component = "a${b";
    auto sealed = core::seal(odd, vault_.key());
    ASSERT_TRUE(sealed);
    ASSERT_TRUE(core::write_record(vault_.dir(), coordinate("secret:dev/db/other"), *sealed));
    Session session = vault_.session(scope_of({Operation::Metadata}));
    auto views = session.list_visible();
    ASSERT_TRUE(views);
    EXPECT_EQ(views->size(), 5U);
    for (const auto& view : *views) EXPECT_NE(view.component, "a${b");
}

TEST_F(MetadataTest, ListSkipsFilesThatDoNotOpenWithTheKey) {
    write_file(vault_.dir() / (std::string(64, 'a') + ".sec"), "TARN garbage");
    Session session = vault_.session(scope_of({Operation::Metadata}));
    auto views = session.list_visible();
    ASSERT_TRUE(views) << views.error().message();
    EXPECT_EQ(views->size(), 5U);
}

TEST_F(MetadataTest, ListFailsWhenAVaultCannotBeRead) {
    Session session = vault_.session(scope_of({Operation::Metadata}));
    fs::remove_all(vault_.dir());
    write_file(vault_.dir(), "not a directory");
    auto views = session.list_visible();
    ASSERT_FALSE(views);
    EXPECT_TRUE(std::holds_alternative<core::CoreError>(views.error().kind()));
}

TEST_F(MetadataTest, MetadataQueriesNeverWriteTheAuditLog) {
    Session session = vault_.session();
    (void)session.list_visible();
    (void)session.status_of("secret:dev/db/password", std::nullopt);
    (void)session.status_of("secret:dev/db/absent", std::nullopt);
    (void)session.fingerprint_of("secret:dev/db/password", "alpha");
    EXPECT_FALSE(fs::exists(vault_.audit_path()));
}

// --- status_of / fingerprint_of -------------------------------------------

TEST_F(MetadataTest, StatusResolvesProjectBeforeGlobal) {
    Session session = vault_.session(scope_of({Operation::Metadata}));
    auto in_alpha = session.status_of("secret:dev/db/password", "alpha");
    ASSERT_TRUE(in_alpha);
    EXPECT_EQ(in_alpha->origin, "project:alpha");
    EXPECT_EQ(in_alpha->fingerprint, fingerprint_of_text("alpha-dev"));

    auto fallback = session.status_of("secret:prod/db/password", "alpha");
    ASSERT_TRUE(fallback);
    EXPECT_EQ(fallback->origin, "global");

    auto global_form = session.status_of("secret://global/dev/db/password", "alpha");
    ASSERT_TRUE(global_form);
    EXPECT_EQ(global_form->origin, "global");
    EXPECT_EQ(global_form->fingerprint, fingerprint_of_text("global-dev"));
}

TEST_F(MetadataTest, StatusOfAReferenceCarriesItsUri) {
    Session session = vault_.session(scope_of({Operation::Metadata}));
    auto view = session.status_of("secret:prod/api/token", "alpha");
    ASSERT_TRUE(view);
    EXPECT_EQ(view->fingerprint, "\xE2\x86\x92 azure-kv://kv/token");
    EXPECT_EQ(view->reference, std::optional<std::string>("azure-kv://kv/token"));
    auto fingerprint = session.fingerprint_of("secret:prod/api/token", "alpha");
    ASSERT_TRUE(fingerprint);
    EXPECT_EQ(*fingerprint, view->fingerprint);
}

TEST_F(MetadataTest, OutOfScopeAndAbsentAreTheSameOutcome) {
    const auto before = vault_.audit_bytes();
    struct Case {
        core::AgentScope scope;
        std::string_view coordinate;
        std::optional<std::string_view> project;
    };
    const Case cases[] = {
        {scope_of({Operation::Metadata}), "secret:dev/db/absent", std::nullopt},
        {scope_of({Operation::Metadata}), "secret:dev/ssh/deploy", "alpha"},
        {scope_of({Operation::Reveal, Operation::Write, Operation::Inject}), "secret:dev/db/password", std::nullopt},
        {scope_of({Operation::Metadata}, Names{"alpha"}), "secret:dev/db/password", std::nullopt},
        {scope_of({Operation::Metadata}, Names{"alpha"}), "secret:dev/ssh/deploy", "beta"},
        {scope_of({Operation::Metadata}, std::nullopt, Names{"prod"}), "secret:dev/db/password", std::nullopt},
    };
    for (const auto& c : cases) {
        Session session = vault_.session(c.scope);
        auto status = session.status_of(c.coordinate, c.project);
        ASSERT_FALSE(status) << c.coordinate;
        EXPECT_TRUE(is_not_found(status.error())) << c.coordinate;
        EXPECT_EQ(status.error().message(), "not addressable");
        auto fingerprint = session.fingerprint_of(c.coordinate, c.project);
        ASSERT_FALSE(fingerprint);
        EXPECT_TRUE(is_not_found(fingerprint.error()));
    }
    EXPECT_EQ(vault_.audit_bytes(), before);
}

TEST_F(MetadataTest, OutOfScopeIsDecidedBeforeAnyLookup) {
    // A damaged file at an out-of-scope coordinate would be a read error if
    // it were looked at.
    write_file(vault_.record_file("secret:staging/db/password"), "damaged");
    Session outside = vault_.session(scope_of({Operation::Metadata}, std::nullopt, Names{"dev"}));
    auto status = outside.status_of("secret:staging/db/password", std::nullopt);
    ASSERT_FALSE(status);
    EXPECT_TRUE(is_not_found(status.error()));

    Session inside = vault_.session(scope_of({Operation::Metadata}));
    auto damaged = inside.status_of("secret:staging/db/password", std::nullopt);
    ASSERT_FALSE(damaged);
    EXPECT_TRUE(std::holds_alternative<core::CoreError>(damaged.error().kind()));
}

TEST_F(MetadataTest, BadCoordinatesAreTheParsersErrors) {
    Session session = vault_.session(scope_of({Operation::Metadata}));
    auto malformed = session.status_of("db/password", std::nullopt);
    ASSERT_FALSE(malformed);
    EXPECT_TRUE(malformed.error().message().starts_with("invalid coordinate URI: "));
    auto placeholder = session.fingerprint_of("secret:${ENV}/db/password", std::nullopt);
    ASSERT_FALSE(placeholder);
    EXPECT_TRUE(placeholder.error().message().ends_with("(a coordinate must be concrete, not ${ENV})"));
}

TEST_F(MetadataTest, UnsafeProjectNameIsRefused) {
    Session session = vault_.session(scope_of({Operation::Metadata}));
    auto status = session.status_of("secret:dev/db/password", "../global");
    ASSERT_FALSE(status);
    EXPECT_TRUE(std::holds_alternative<core::CoreError>(status.error().kind()));
    EXPECT_TRUE(status.error().message().starts_with("vault I/O failed: invalid project name"));
}

}  // namespace
}  // namespace tarnel::ffi
