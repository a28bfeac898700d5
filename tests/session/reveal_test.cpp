#include <gtest/gtest.h>

#include "session_fixture.hpp"

namespace tarnel::ffi {
namespace {

using namespace fixture;
using core::Operation;
using core::Sensitivity;
using Names = std::set<std::string, std::less<>>;

bool is_not_found(const FfiError& error) { return std::holds_alternative<FfiError::NotFound>(error.kind()); }
bool is_denied(const FfiError& error) { return std::holds_alternative<FfiError::Denied>(error.kind()); }

// The line an event of the session leaves, without its time stamp.
std::string audit_tail(std::string_view action, std::string_view path, std::string_view environment,
                       std::string_view result) {
    return R"(","action":")" + std::string(action) + R"(","coordinate":")" + std::string(path) +
           R"(","environment":")" + std::string(environment) + R"(","result":")" + std::string(result) +
           R"(","origin":"agent"})";
}

const char* level_name(Sensitivity level) {
    switch (level) {
        case Sensitivity::Low: return "Low";
        case Sensitivity::Medium: return "Medium";
        case Sensitivity::High: return "High";
        case Sensitivity::InjectOnly: return "InjectOnly";
    }
    return "?";
}

// What the MCP surface answers for a literal; empty means the value comes back.
std::string expected_outcome(std::string_view environment, Sensitivity level, bool revealable) {
    if (level == Sensitivity::InjectOnly) return "InjectOnlyNeverRevealed";
    if (environment == "prod") return "McpCriticalForbidden";
    if (level == Sensitivity::High) return "McpCriticalForbidden";
    return revealable ? "" : "NotRevealable";
}

TEST(RevealTest, DecisionTableThroughRealRecords) {
    TempVault vault;
    Session session = vault.session(scope_of({Operation::Reveal}));
    std::size_t lines = 0;
    // "Prod" is not production: only the exact word is.
    for (std::string_view environment : {"dev", "prod", "Prod"}) {
        for (Sensitivity level : {Sensitivity::Low, Sensitivity::Medium, Sensitivity::High, Sensitivity::InjectOnly}) {
            for (bool revealable : {true, false}) {
                const std::string key = std::string(level_name(level)) + (revealable ? "-r" : "-nr");
                const std::string path = std::string(environment) + "/table/" + key;
                vault.put(literal(path, "value-of-" + key, level, revealable));
                SCOPED_TRACE(path);

                auto value = session.reveal("secret:" + path, std::nullopt);
                const std::string expected = expected_outcome(environment, level, revealable);
                auto audit = vault.audit_lines();
                ASSERT_EQ(audit.size(), ++lines);
                if (expected.empty()) {
                    ASSERT_TRUE(value) << value.error().message();
                    EXPECT_EQ(value->expose_secret_chars(), "value-of-" + key);
                    EXPECT_TRUE(audit.back().ends_with(audit_tail("reveal", path, environment, "revealed")))
                        << audit.back();
                } else {
                    ASSERT_FALSE(value);
                    EXPECT_TRUE(is_denied(value.error()));
                    EXPECT_EQ(value.error().message(), expected);
                    EXPECT_TRUE(audit.back().ends_with(audit_tail("deny", path, environment, "denied")))
                        << audit.back();
                }
            }
        }
    }
}

TEST(RevealTest, OtherKindsAreRefusedByKindWithoutAudit) {
    TempVault vault;
    // Sensitivity and flag would allow a literal; the kind alone refuses.
    vault.put(reference("dev/api/token", "azure-kv://kv/token", Sensitivity::Low, true));
    vault.put(keypair("dev/ssh/deploy", "ssh-ed25519 AAAA", "private", core::KeyAlgorithm::Ed25519,
                      Sensitivity::Low, true));
    vault.put(keypair("prod/ssh/public-only", "ssh-rsa BBBB", std::nullopt, core::KeyAlgorithm::Rsa,
                      Sensitivity::InjectOnly, false));
    vault.put(totp("dev/mail/otp", "seed", core::TotpAlgorithm::Sha1, 6, 30, Sensitivity::Low, true));
    Session session = vault.session(scope_of({Operation::Reveal}));
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"secret:dev/api/token", "reference value is materialized at run time, not revealable over MCP"},
        {"secret:dev/ssh/deploy",
         "a keypair's private key is never revealed (I11/I14); use it through sign/decrypt/ssh-add via the CLI"},
        {"secret:prod/ssh/public-only",
         "a keypair's private key is never revealed (I11/I14); use it through sign/decrypt/ssh-add via the CLI"},
        {"secret:dev/mail/otp",
         "a TOTP seed is never revealed (I11/I14); derive a code on demand with `tarnel code` via the CLI"},
    };
    for (const auto& [coordinate_text, text] : cases) {
        auto value = session.reveal(coordinate_text, std::nullopt);
        ASSERT_FALSE(value) << coordinate_text;
        EXPECT_TRUE(is_denied(value.error()));
        EXPECT_EQ(value.error().message(), text);
    }
    EXPECT_FALSE(fs::exists(vault.audit_path()));
}

TEST(RevealTest, OutOfScopeAndAbsentAreTheSameAndLeaveTheLogAlone) {
    TempVault vault;
    vault.put(literal("dev/db/password", "hunter2"));
    vault.put(literal("dev/db/password", "alpha"), "alpha");
    Session warm = vault.session();
    ASSERT_TRUE(warm.reveal("secret:dev/db/password", std::nullopt));
    const std::string before = vault.audit_bytes();
    ASSERT_FALSE(before.empty());

    struct Case {
        core::AgentScope scope;
        std::string_view coordinate;
        std::optional<std::string_view> project;
    };
    const Case cases[] = {
        {scope_of({Operation::Reveal}), "secret:dev/db/absent", std::nullopt},
        {scope_of({Operation::Reveal}), "secret:dev/db/absent", "alpha"},
        {scope_of({Operation::Metadata, Operation::Inject, Operation::Write}), "secret:dev/db/password", std::nullopt},
        {scope_of({Operation::Reveal}, Names{"beta"}), "secret:dev/db/password", "alpha"},
        {scope_of({Operation::Reveal}, Names{"alpha"}), "secret:dev/db/password", std::nullopt},
        {scope_of({Operation::Reveal}, std::nullopt, Names{"prod"}), "secret:dev/db/password", std::nullopt},
        {scope_of({Operation::Reveal}, Names{}), "secret:dev/db/password", "alpha"},
    };
    for (const auto& c : cases) {
        Session session = vault.session(c.scope);
        auto value = session.reveal(c.coordinate, c.project);
        ASSERT_FALSE(value) << c.coordinate;
        EXPECT_TRUE(is_not_found(value.error())) << c.coordinate;
        EXPECT_EQ(value.error().message(), "not addressable");
    }
    EXPECT_EQ(vault.audit_bytes(), before);
}

TEST(RevealTest, OutOfScopeIsDecidedBeforeAnyLookup) {
    TempVault vault;
    fs::create_directories(vault.dir());
    write_file(vault.record_file("secret:staging/db/password"), "damaged");
    Session outside = vault.session(scope_of({Operation::Reveal}, std::nullopt, Names{"dev"}));
    auto hidden = outside.reveal("secret:staging/db/password", std::nullopt);
    ASSERT_FALSE(hidden);
    EXPECT_TRUE(is_not_found(hidden.error()));

    Session inside = vault.session(scope_of({Operation::Reveal}));
    auto damaged = inside.reveal("secret:staging/db/password", std::nullopt);
    ASSERT_FALSE(damaged);
    EXPECT_TRUE(std::holds_alternative<core::CoreError>(damaged.error().kind()));
    EXPECT_FALSE(fs::exists(vault.audit_path()));
}

TEST(RevealTest, BytesComeBackUnchanged) {
    TempVault vault;
    const std::uint8_t raw[] = {0xff, 0x00, 0xfe, 'a', 0x80, 0x00};
    vault.put({core::LiteralRecord{core::SecretValue(std::span<const std::uint8_t>(raw))},
               meta("dev/bin/blob", Sensitivity::Medium, true)});
    Session session = vault.session(scope_of({Operation::Reveal}));
    auto value = session.reveal("secret:dev/bin/blob", std::nullopt);
    ASSERT_TRUE(value);
    ASSERT_EQ(value->size(), sizeof raw);
    EXPECT_TRUE(std::equal(value->expose_secret().begin(), value->expose_secret().end(), raw));
}

TEST(RevealTest, ProjectShadowsGlobalAndTheGlobalFormReadsGlobal) {
    TempVault vault;
    vault.put(literal("dev/db/password", "global"));
    vault.put(literal("dev/db/password", "alpha"), "alpha");
    Session session = vault.session(scope_of({Operation::Reveal}));
    EXPECT_EQ(session.reveal("secret:dev/db/password", "alpha")->expose_secret_chars(), "alpha");
    EXPECT_EQ(session.reveal("secret:dev/db/password", std::nullopt)->expose_secret_chars(), "global");
    EXPECT_EQ(session.reveal("secret://global/dev/db/password", "alpha")->expose_secret_chars(), "global");
    EXPECT_EQ(session.reveal("secret:dev/db/password", "beta")->expose_secret_chars(), "global");
    // The canonical path is what the log shows, whichever form was asked for.
    for (const auto& line : vault.audit_lines()) {
        EXPECT_TRUE(line.ends_with(audit_tail("reveal", "dev/db/password", "dev", "revealed"))) << line;
    }
    EXPECT_EQ(vault.audit_lines().size(), 4U);
}

TEST(RevealTest, UnwritableAuditLogChangesNoOutcome) {
    TempVault vault;
    vault.put(literal("dev/db/password", "hunter2"));
    vault.put(literal("dev/db/closed", "x", Sensitivity::Low, false));
    fs::create_directory(vault.audit_path());
    Session session = vault.session(scope_of({Operation::Reveal}));
    auto value = session.reveal("secret:dev/db/password", std::nullopt);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->expose_secret_chars(), "hunter2");
    auto denied = session.reveal("secret:dev/db/closed", std::nullopt);
    ASSERT_FALSE(denied);
    EXPECT_EQ(denied.error().message(), "NotRevealable");
}

TEST(RevealTest, BadCoordinatesAreNeitherLookedUpNorAudited) {
    TempVault vault;
    Session session = vault.session(scope_of({Operation::Reveal}));
    auto malformed = session.reveal("secret:dev/db", std::nullopt);
    ASSERT_FALSE(malformed);
    EXPECT_TRUE(std::holds_alternative<FfiError::Other>(malformed.error().kind()));
    EXPECT_TRUE(malformed.error().message().starts_with("invalid coordinate URI: "));
    auto placeholder = session.reveal("secret:${ENV}/db/password", std::nullopt);
    ASSERT_FALSE(placeholder);
    EXPECT_TRUE(placeholder.error().message().ends_with("(a coordinate must be concrete, not ${ENV})"));
    EXPECT_FALSE(fs::exists(vault.audit_path()));
}

TEST(RevealTest, RecordSealedWithAnotherKeyIsAReadErrorAndNotAudited) {
    TempVault vault;
    vault.put(literal("dev/db/password", "hunter2"));
    Session wrong = *vault.open(scope_of({Operation::Reveal}), "another passphrase");
    auto value = wrong.reveal("secret:dev/db/password", std::nullopt);
    ASSERT_FALSE(value);
    EXPECT_EQ(value.error().message(), "crypto operation failed");
    EXPECT_FALSE(fs::exists(vault.audit_path()));
}

}  // namespace
}  // namespace tarnel::ffi
