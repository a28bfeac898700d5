#include <unistd.h>

#include <gtest/gtest.h>

#include "session_fixture.hpp"

namespace tarnel::ffi {
namespace {

using namespace fixture;
using core::Operation;
using core::Sensitivity;

std::string error_text(const FfiError& error) { return error.message(); }

bool is_other(const FfiError& error) { return std::holds_alternative<FfiError::Other>(error.kind()); }
bool is_core(const FfiError& error) { return std::holds_alternative<core::CoreError>(error.kind()); }

constexpr std::string_view kSaltMessage = "reading kdf.salt from the vault root (run `tarnel init` first)";
constexpr std::string_view kKeyMessage = "obtaining the master key (run `tarnel init`?)";

// Keeps libsecret away from any real Secret Service: no bus to find, so the
// OS keyring fails the same way on every machine.
class NoSecretService {
public:
    explicit NoSecretService(const fs::path& runtime_dir)
        : bus_("DBUS_SESSION_BUS_ADDRESS", std::nullopt),
          display_("DISPLAY", std::nullopt),
          wayland_("WAYLAND_DISPLAY", std::nullopt),
          runtime_("XDG_RUNTIME_DIR", runtime_dir.string()) {}

private:
    ScopedEnv bus_;
    ScopedEnv display_;
    ScopedEnv wayland_;
    ScopedEnv runtime_;
};

// Runs in another working directory for one scope.
class ScopedCwd {
public:
    explicit ScopedCwd(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
    ~ScopedCwd() { fs::current_path(old_); }

private:
    fs::path old_;
};

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

// --- Session::open --------------------------------------------------------

TEST(SessionOpenTest, PassphraseAndSaltGiveTheVaultKeyAndOpenTheRegistry) {
    TempVault vault;
    vault.put(literal("dev/db/password", "hunter2"));
    auto session = vault.open(all_operations());
    ASSERT_TRUE(session) << error_text(session.error());
    EXPECT_EQ(session->root(), vault.root());
    EXPECT_TRUE(fs::is_directory(vault.root() / "global"));
    EXPECT_TRUE(fs::is_directory(vault.root() / "projects"));
    auto value = session->reveal("secret:dev/db/password", std::nullopt);
    ASSERT_TRUE(value) << error_text(value.error());
    EXPECT_EQ(value->expose_secret_chars(), "hunter2");
}

TEST(SessionOpenTest, TheScopeIsMovedIn) {
    TempVault vault;
    auto scope = scope_of({Operation::Reveal}, std::set<std::string, std::less<>>{"a"});
    auto session = vault.open(scope);
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->scope().permits(Operation::Reveal));
    EXPECT_FALSE(session->scope().permits(Operation::Metadata));
    EXPECT_EQ(session->scope().projects, scope.projects);
}

TEST(SessionOpenTest, MissingSaltFailsBeforeAnyDerivationAndTouchesNothing) {
    TempVault vault;
    fs::remove(vault.root() / "kdf.salt");
    auto session = vault.open(all_operations());
    ASSERT_FALSE(session);
    EXPECT_TRUE(is_other(session.error()));
    EXPECT_EQ(error_text(session.error()), kSaltMessage);
    // The registry would have created these.
    EXPECT_FALSE(fs::exists(vault.root() / "global"));
    EXPECT_FALSE(fs::exists(vault.root() / "projects"));
}

TEST(SessionOpenTest, MissingRootWithPassphraseReportsTheSalt) {
    TempVault vault;
    auto session = Session::open(vault.base() / "nowhere", all_operations(),
                                 core::SecretValue::from_text(kPassphrase));
    ASSERT_FALSE(session);
    EXPECT_EQ(error_text(session.error()), kSaltMessage);
    EXPECT_FALSE(fs::exists(vault.base() / "nowhere"));
}

TEST(SessionOpenTest, UnreadableSaltReportsTheSaltWithoutTheOsError) {
    TempVault vault;
    fs::remove(vault.root() / "kdf.salt");
    fs::create_directory(vault.root() / "kdf.salt");
    auto session = vault.open(all_operations());
    ASSERT_FALSE(session);
    EXPECT_EQ(error_text(session.error()), kSaltMessage);
}

TEST(SessionOpenTest, ShortSaltIsTheKeyringsError) {
    TempVault vault;
    vault.write_salt({1, 2, 3, 4, 5, 6, 7});
    auto session = vault.open(all_operations());
    ASSERT_FALSE(session);
    ASSERT_TRUE(is_core(session.error()));
    EXPECT_EQ(std::get<core::CoreError>(session.error().kind()).kind(), core::ErrorKind::Keyring);
    EXPECT_EQ(error_text(session.error()), "keyring operation failed: salt must be at least 8 bytes");
    EXPECT_FALSE(fs::exists(vault.root() / "global"));
}

TEST(SessionOpenTest, EmptySaltIsTheKeyringsError) {
    TempVault vault;
    vault.write_salt({});
    auto session = vault.open(all_operations());
    ASSERT_FALSE(session);
    EXPECT_EQ(error_text(session.error()), "keyring operation failed: salt must be at least 8 bytes");
}

TEST(SessionOpenTest, EightByteSaltIsEnough) {
    TempVault vault;
    vault.write_salt({1, 2, 3, 4, 5, 6, 7, 8});
    auto session = vault.open(all_operations());
    EXPECT_TRUE(session) << error_text(session.error());
}

TEST(SessionOpenTest, WrongPassphraseOpensButCannotReadRecords) {
    TempVault vault;
    vault.put(literal("dev/db/password", "hunter2"));
    auto session = vault.open(all_operations(), "not the passphrase");
    ASSERT_TRUE(session) << error_text(session.error());
    auto status = session->status_of("secret:dev/db/password", std::nullopt);
    ASSERT_FALSE(status);
    EXPECT_EQ(error_text(status.error()), "crypto operation failed");
}

TEST(SessionOpenTest, WithoutPassphraseTheOsKeyringIsAskedAndItsErrorIsReplaced) {
    TempVault vault;
    NoSecretService no_bus(vault.base());
    auto session = vault.open(all_operations(), std::nullopt);
    ASSERT_FALSE(session);
    EXPECT_TRUE(is_other(session.error()));
    EXPECT_EQ(error_text(session.error()), kKeyMessage);
}

TEST(SessionOpenTest, WithoutPassphraseNoVaultReportsTheKeyBeforeTheRegistry) {
    TempVault vault;
    NoSecretService no_bus(vault.base());
    const fs::path absent = vault.base() / "absent";
    auto session = Session::open(absent, all_operations(), std::nullopt);
    ASSERT_FALSE(session);
    EXPECT_EQ(error_text(session.error()), kKeyMessage);
    EXPECT_FALSE(fs::exists(absent));
}

TEST(SessionOpenTest, PassphraseComesFromTheEnvironmentWhenNotGiven) {
    TempVault vault;
    vault.put(literal("dev/db/password", "hunter2"));
    ScopedEnv passphrase("TARNEL_PASSPHRASE", kPassphrase);
    auto session = vault.open(all_operations(), std::nullopt);
    ASSERT_TRUE(session) << error_text(session.error());
    EXPECT_TRUE(session->status_of("secret:dev/db/password", std::nullopt));
}

TEST(SessionOpenTest, EmptyPassphraseFromTheEnvironmentIsStillAPassphrase) {
    TempVault vault;
    fs::remove(vault.root() / "kdf.salt");
    ScopedEnv passphrase("TARNEL_PASSPHRASE", "");
    auto session = vault.open(all_operations(), std::nullopt);
    ASSERT_FALSE(session);
    EXPECT_EQ(error_text(session.error()), kSaltMessage);
}

TEST(SessionOpenTest, PassphraseArgumentBeatsTheEnvironment) {
    TempVault vault;
    vault.put(literal("dev/db/password", "hunter2"));
    ScopedEnv passphrase("TARNEL_PASSPHRASE", "wrong passphrase");
    auto session = vault.open(all_operations(), kPassphrase);
    ASSERT_TRUE(session) << error_text(session.error());
    EXPECT_TRUE(session->status_of("secret:dev/db/password", std::nullopt));
}

TEST(SessionOpenTest, PassphraseInTheEnvironmentThatIsNotUtf8IsIgnored) {
    TempVault vault;
    NoSecretService no_bus(vault.base());
    ScopedEnv passphrase("TARNEL_PASSPHRASE", "caf\xe9");
    auto session = vault.open(all_operations(), std::nullopt);
    ASSERT_FALSE(session);
    // The OS keyring was asked, not Argon2.
    EXPECT_EQ(error_text(session.error()), kKeyMessage);
}

TEST(SessionOpenTest, RootComesFromTheEnvironmentWhenNotGiven) {
    TempVault vault;
    vault.put(literal("dev/db/password", "hunter2"));
    ScopedEnv dir("TARNEL_VAULT_DIR", vault.root().string());
    auto session = Session::open(std::nullopt, all_operations(), core::SecretValue::from_text(kPassphrase));
    ASSERT_TRUE(session) << error_text(session.error());
    EXPECT_EQ(session->root(), vault.root());
}

TEST(SessionOpenTest, VaultDirArgumentBeatsTheEnvironment) {
    TempVault vault;
    ScopedEnv dir("TARNEL_VAULT_DIR", (vault.base() / "elsewhere").string());
    auto session = vault.open(all_operations());
    ASSERT_TRUE(session) << error_text(session.error());
    EXPECT_EQ(session->root(), vault.root());
    EXPECT_FALSE(fs::exists(vault.base() / "elsewhere"));
}

TEST(SessionOpenTest, EmptyVaultDirInTheEnvironmentIsAPathNotTheDefault) {
    TempVault vault;
    // A complete vault at the default root that must not be chosen.
    const fs::path home = vault.base() / "home";
    fs::create_directories(home / ".vaults");
    write_file(home / ".vaults" / "kdf.salt", *read_file(vault.root() / "kdf.salt"));
    ScopedEnv home_env("HOME", home.string());
    ScopedEnv dir("TARNEL_VAULT_DIR", "");
    const fs::path empty_cwd = vault.base() / "cwd";
    fs::create_directory(empty_cwd);
    ScopedCwd cwd(empty_cwd);
    auto session = Session::open(std::nullopt, all_operations(), core::SecretValue::from_text(kPassphrase));
    ASSERT_FALSE(session);
    EXPECT_EQ(error_text(session.error()), kSaltMessage);
}

TEST(SessionOpenTest, DefaultRootIsVaultsInHome) {
    TempVault vault;
    const fs::path home = vault.base() / "home";
    fs::create_directories(home / ".vaults");
    write_file(home / ".vaults" / "kdf.salt", *read_file(vault.root() / "kdf.salt"));
    ScopedEnv home_env("HOME", home.string());
    auto session = Session::open(std::nullopt, all_operations(), core::SecretValue::from_text(kPassphrase));
    ASSERT_TRUE(session) << error_text(session.error());
    EXPECT_EQ(session->root(), home / ".vaults");
    EXPECT_TRUE(fs::is_directory(home / ".vaults" / "global"));
}

TEST(SessionOpenTest, NoHomeAndNoRootIsTheRegistrysError) {
    TempVault vault;
    ScopedEnv home_env("HOME", std::nullopt);
    auto session = Session::open(std::nullopt, all_operations(), core::SecretValue::from_text(kPassphrase));
    ASSERT_FALSE(session);
    ASSERT_TRUE(is_core(session.error()));
    EXPECT_EQ(error_text(session.error()), "vault I/O failed: no home directory ($HOME) set");
}

TEST(SessionOpenTest, RegistryThatCannotBeOpenedIsItsCoreError) {
    TempVault vault;
    // A dangling link where global/ belongs cannot be made a directory.
    fs::create_symlink(vault.base() / "missing-target", vault.root() / "global");
    auto session = vault.open(all_operations());
    ASSERT_FALSE(session);
    ASSERT_TRUE(is_core(session.error()));
    EXPECT_EQ(std::get<core::CoreError>(session.error().kind()).kind(), core::ErrorKind::Io);
    EXPECT_TRUE(error_text(session.error()).starts_with("vault I/O failed: create "));
}

// --- shared routines ------------------------------------------------------

TEST(ParseConcreteTest, AcceptsConcreteCoordinates) {
    auto parsed = parse_concrete("secret:dev/db/password");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->to_string(), "secret:dev/db/password");
    EXPECT_TRUE(parse_concrete("secret://global/prod/api/token"));
}

TEST(ParseConcreteTest, MalformedTextIsTheParsersMessage) {
    auto parsed = parse_concrete("dev/db/password");
    ASSERT_FALSE(parsed);
    EXPECT_TRUE(is_other(parsed.error()));
    auto expected = core::Coordinate::from_str("dev/db/password");
    ASSERT_FALSE(expected);
    EXPECT_EQ(error_text(parsed.error()), expected.error().display());
    EXPECT_TRUE(error_text(parsed.error()).starts_with("invalid coordinate URI: "));
}

TEST(ParseConcreteTest, PlaceholderIsRefusedAsNotConcrete) {
    auto parsed = parse_concrete("secret:${ENV}/db/password");
    ASSERT_FALSE(parsed);
    EXPECT_TRUE(is_other(parsed.error()));
    const std::string text = error_text(parsed.error());
    EXPECT_TRUE(text.starts_with("coordinate is not storable: ")) << text;
    EXPECT_TRUE(text.ends_with(" (a coordinate must be concrete, not ${ENV})")) << text;
}

TEST(ParseSensitivityTest, FoldsCaseAndUnderscores) {
    const std::pair<std::string_view, Sensitivity> accepted[] = {
        {"low", Sensitivity::Low},
        {"Medium", Sensitivity::Medium},
        {"HIGH", Sensitivity::High},
        {"inject-only", Sensitivity::InjectOnly},
        {"Inject_Only", Sensitivity::InjectOnly},
        {"injectOnly", Sensitivity::InjectOnly},
        {"INJECTONLY", Sensitivity::InjectOnly},
    };
    for (const auto& [word, level] : accepted) {
        auto parsed = parse_sensitivity(word);
        ASSERT_TRUE(parsed) << word;
        EXPECT_EQ(*parsed, level) << word;
    }
}

TEST(ParseSensitivityTest, UnknownWordsNameTheNormalisedText) {
    auto parsed = parse_sensitivity("secret");
    ASSERT_FALSE(parsed);
    EXPECT_TRUE(is_other(parsed.error()));
    EXPECT_EQ(error_text(parsed.error()), "unknown sensitivity `secret` (expected low|medium|high|inject-only)");
    auto folded = parse_sensitivity("Top_Secret");
    ASSERT_FALSE(folded);
    EXPECT_EQ(error_text(folded.error()),
              "unknown sensitivity `top-secret` (expected low|medium|high|inject-only)");
    EXPECT_FALSE(parse_sensitivity(" low"));
    EXPECT_FALSE(parse_sensitivity("inject only"));
    EXPECT_FALSE(parse_sensitivity(""));
}

TEST(SessionHelpersTest, EnvOfAndOriginFor) {
    EXPECT_EQ(env_of(coordinate("secret:prod/db/password")), "prod");
    EXPECT_EQ(env_of(coordinate("secret://global/dev/db/password")), "dev");
    EXPECT_EQ(origin_for(std::nullopt), std::nullopt);
    EXPECT_EQ(origin_for("alpha"), std::optional<std::string>("alpha"));
    EXPECT_EQ(origin_for(""), std::optional<std::string>(""));
}

TEST(SessionAuditTest, AppendsOneAgentLineWithTheFieldsInOrder) {
    TempVault vault;
    Session session = vault.session();
    session.audit(core::AuditAction::Reveal, "revealed", "dev/db/password", "dev");
    auto lines = vault.audit_lines();
    ASSERT_EQ(lines.size(), 1U);
    const std::string& line = lines[0];
    const std::string tail =
        R"(","action":"reveal","coordinate":"dev/db/password","environment":"dev","result":"revealed","origin":"agent"})";
    EXPECT_TRUE(line.starts_with(R"({"ts":")")) << line;
    EXPECT_TRUE(line.ends_with(tail)) << line;
    // {"ts":"YYYY-MM-DDTHH:MM:SSZ
    EXPECT_EQ(line.size(), std::string(R"({"ts":")").size() + 20 + tail.size()) << line;
}

TEST(SessionAuditTest, AFailureToRecordIsIgnored) {
    TempVault vault;
    Session session = vault.session();
    fs::create_directory(vault.audit_path());
    session.audit(core::AuditAction::Deny, "denied", "dev/db/password", "dev");
    EXPECT_TRUE(fs::is_directory(vault.audit_path()));
    EXPECT_TRUE(fs::is_empty(vault.audit_path()));
}

}  // namespace
}  // namespace tarnel::ffi
