#include "core/run/resolver.hpp"

#include <stdlib.h>

#include <map>

#include "core/keys/crypto.hpp"
#include "core/store/store.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

namespace fs = std::filesystem;
using namespace tarnel::testing;

// Answers from a map and remembers every name it was asked for.
class MapEnvSource final : public EnvSource {
public:
    std::map<std::string, std::string, std::less<>> vars;
    mutable std::vector<std::string> asked;

    std::optional<SecretValue> get(std::string_view name) const override {
        asked.emplace_back(name);
        const auto found = vars.find(name);
        if (found == vars.end()) return std::nullopt;
        return SecretValue::from_text(found->second);
    }
};

// Serves "test://" references from a map; anything else fails.
class CountingProvider final : public SecretProvider {
public:
    std::map<std::string, std::string, std::less<>> values;
    mutable std::vector<std::string> calls;

    Result<SecretValue> materialize(std::string_view reference) const override {
        calls.emplace_back(reference);
        const auto found = values.find(reference);
        if (found == values.end()) return fail(ErrorKind::Provider, "test store has no such secret");
        return SecretValue::from_text(found->second);
    }
    std::string_view scheme() const override { return "test"; }
};

class RecordingSink final : public AuditSink {
public:
    mutable std::vector<AuditEvent> events;
    Result<void> record(const AuditEvent& event) const override {
        events.push_back(event);
        return {};
    }
};

SecretRecord record_of(RecordKind kind, const Coordinate& at, Sensitivity sensitivity) {
    SecretRecord record = literal(at, "");
    record.kind = std::move(kind);
    record.meta.sensitivity = sensitivity;
    return record;
}

std::string text_of(const ResolvedVar& var) { return std::string(var.value.expose_secret_chars()); }

class ResolverTest : public ::testing::Test {
protected:
    void put(const SecretRecord& record, std::optional<std::string_view> project = std::nullopt) {
        const Coordinate at = coordinate("secret:" + record.canonical_path());
        const fs::path dir = project ? *registry_.checked_project_dir(*project) : registry_.global_dir();
        Result<SealedRecord> sealed = seal(record, key_);
        ASSERT_TRUE(sealed);
        ASSERT_TRUE(write_record(dir, at, *sealed));
    }
    void put_literal(std::string_view at, std::string_view value,
                     std::optional<std::string_view> project = std::nullopt) {
        put(literal(coordinate(at), value), project);
    }
    void put_reference(std::string_view at, std::string ref) {
        put(record_of(ReferenceRecord{std::move(ref)}, coordinate(at), Sensitivity::Low));
    }

    Result<std::vector<ResolvedVar>> run(std::string_view text, std::string_view environment = "dev",
                                         std::optional<std::string_view> project = std::nullopt,
                                         const SecretProvider* provider = nullptr, const AuditSink* audit = nullptr) {
        Result<EnvRefs> refs = EnvRefs::parse(text);
        EXPECT_TRUE(refs) << text;
        if (!refs) return fail(std::move(refs).error());
        const ResolverParts parts{registry_,
                                  keyring_,
                                  env_,
                                  provider != nullptr ? *provider : provider_,
                                  audit != nullptr ? *audit : sink_,
                                  clock_,
                                  Actor::Agent};
        return resolve(*refs, environment, parts, project);
    }

    std::string failure(std::string_view text, std::string_view environment = "dev") {
        Result<std::vector<ResolvedVar>> vars = run(text, environment);
        return vars ? "resolved" : vars.error().display();
    }

    TempDir temp_;
    MasterKey key_ = key_of(0x21);
    Registry registry_ = *Registry::open(temp_.path() / "root");
    MockKeyring keyring_{key_.clone()};
    MapEnvSource env_;
    CountingProvider provider_;
    RecordingSink sink_;
    FixedClock clock_{1'767'225'600};  // 2026-01-01T00:00:00Z
};

TEST_F(ResolverTest, LiteralsAndEnvironmentVariables) {
    env_.vars = {{"HOME", ""}, {"USER", "ada"}};
    Result<std::vector<ResolvedVar>> vars =
        run("A=hello\nH=${env:HOME | /tmp}\nU=${env:USER}\nP=${env:PORT | 8080}", "staging");
    ASSERT_TRUE(vars) << vars.error().display();
    ASSERT_EQ(vars->size(), 4U);
    const std::string expected[] = {"hello", "", "ada", "8080"};  // an empty variable is set, not unset
    for (std::size_t i = 0; i < 4; ++i) {
        const ResolvedVar& var = (*vars)[i];
        EXPECT_EQ(text_of(var), expected[i]) << var.name;
        EXPECT_EQ(var.environment, "staging");
        EXPECT_FALSE(var.coordinate || var.reference || var.sensitivity) << var.name;
        EXPECT_EQ(var.found_in, FoundIn(NotFromVault{}));
    }
    EXPECT_EQ(failure("HOME_DIR=${env:NOPE}"),
              "env-refs error: `HOME_DIR`: env var `NOPE` is unset and has no fallback");
}

TEST_F(ResolverTest, VaultSettingsAreNeverReadFromTheEnvironment) {
    env_.vars = {{"TARNEL_PASSPHRASE", "hunter2"}, {"TARNEL_VAULT_DIR", "/v"}, {"TARNELX", "x"}};
    Result<std::vector<ResolvedVar>> vars = run("P=${env:TARNEL_PASSPHRASE | none}\nX=${env:TARNELX}");
    ASSERT_TRUE(vars) << vars.error().display();
    EXPECT_EQ(text_of((*vars)[0]), "none");
    EXPECT_EQ(text_of((*vars)[1]), "x");
    EXPECT_EQ(failure("D=${env:TARNEL_VAULT_DIR}"),
              "env-refs error: `D`: env var `TARNEL_VAULT_DIR` is unset and has no fallback");
    EXPECT_EQ(env_.asked, std::vector<std::string>{"TARNELX"});
}

TEST_F(ResolverTest, VaultCoordinatesWithEnvironmentAndProject) {
    put_literal("secret:dev/app/db", "global dev");
    put_literal("secret:dev/app/db", "project dev", "p");
    Result<std::vector<ResolvedVar>> vars = run("DB=secret:${ENV}/app/db\nG=secret://global/dev/app/db");
    ASSERT_TRUE(vars) << vars.error().display();
    const ResolvedVar& db = (*vars)[0];
    EXPECT_EQ(text_of(db), "global dev");
    EXPECT_EQ(db.environment, "dev");
    EXPECT_EQ(db.coordinate, "dev/app/db");
    EXPECT_FALSE(db.reference);
    EXPECT_EQ(db.found_in, FoundIn(GlobalVault{}));
    EXPECT_EQ(db.sensitivity, Sensitivity::Medium);

    Result<std::vector<ResolvedVar>> in_project =
        run("project = p\nDB=secret:${ENV}/app/db\nG=secret://global/dev/app/db");
    ASSERT_TRUE(in_project) << in_project.error().display();
    EXPECT_EQ(text_of((*in_project)[0]), "project dev");
    EXPECT_EQ((*in_project)[0].found_in, FoundIn(ProjectVault{"p"}));
    EXPECT_EQ(text_of((*in_project)[1]), "global dev");

    Result<std::vector<ResolvedVar>> overridden = run("project = p\nDB=secret:dev/app/db", "dev", "q");
    ASSERT_TRUE(overridden);
    EXPECT_EQ((*overridden)[0].found_in, FoundIn(GlobalVault{}));

    EXPECT_EQ(failure("DB=secret:${ENV}/app/db", ""),
              "env-refs error: `DB`: a `${ENV}` coordinate needs a non-empty --env");
    EXPECT_EQ(failure("DB=secret:dev/app"), "invalid coordinate URI: coordinate must have exactly three segments");
}

TEST_F(ResolverTest, ProdRefusesFallbacksBeforeReadingTheVault) {
    put_literal("secret:prod/app/db", "prod value");
    const std::string refused = "env-refs error: `DB`: a `| fallback` is forbidden for prod (I4c)";
    EXPECT_EQ(failure("DB=secret:prod/app/db | x"), refused);
    EXPECT_EQ(failure("DB=secret:${ENV}/app/db | x", "prod"), refused);
    // A damaged record would fail the read; the refusal comes first.
    write_file(*record_path(registry_.global_dir(), coordinate("secret:prod/app/db")), "TARN");
    EXPECT_EQ(failure("DB=secret:prod/app/db | x"), refused);
    EXPECT_EQ(failure("DB=secret:prod/app/db"), "record serialization failed: not a tarnel record frame");

    Result<std::vector<ResolvedVar>> dev = run("DB=secret:${ENV}/app/db | x", "dev");
    ASSERT_TRUE(dev);
    EXPECT_EQ(text_of((*dev)[0]), "x");
}

TEST_F(ResolverTest, MissingRecordTakesTheFallbackOrFails) {
    Result<std::vector<ResolvedVar>> vars = run("DB=secret:${ENV}/app/none | sqlite://local", "qa");
    ASSERT_TRUE(vars) << vars.error().display();
    const ResolvedVar& db = (*vars)[0];
    EXPECT_EQ(text_of(db), "sqlite://local");
    EXPECT_EQ(db.environment, "qa");
    EXPECT_EQ(db.coordinate, "qa/app/none");  // still vault-backed for the gates
    EXPECT_FALSE(db.sensitivity);
    EXPECT_EQ(db.found_in, FoundIn(NotFromVault{}));
    EXPECT_EQ(failure("DB=secret:${ENV}/app/none#private"),
              "env-refs error: `DB`: coordinate `secret:dev/app/none#private` did not resolve and has no fallback");
}

TEST_F(ResolverTest, KeypairHalves) {
    const Coordinate full = coordinate("secret:dev/app/signing");
    put(record_of(KeypairRecord{KeyAlgorithm::Ed25519, SecretValue::from_text("PRIVATE"), "PUBLIC"}, full,
                  Sensitivity::High));
    put(record_of(KeypairRecord{KeyAlgorithm::Ed25519, std::nullopt, "ONLY PUBLIC"},
                  coordinate("secret:dev/app/pub"), Sensitivity::Low));
    Result<std::vector<ResolvedVar>> vars = run(
        "A=secret:dev/app/signing\nB=secret:dev/app/signing#public\nC=secret:dev/app/signing#private\n"
        "D=secret:dev/app/pub");
    ASSERT_TRUE(vars) << vars.error().display();
    for (std::size_t i : {0U, 1U, 3U}) {
        const ResolvedVar& half = (*vars)[i];
        EXPECT_EQ(text_of(half), i == 3 ? "ONLY PUBLIC" : "PUBLIC");
        EXPECT_FALSE(half.coordinate || half.sensitivity) << half.name;
        EXPECT_EQ(half.found_in, FoundIn(NotFromVault{}));
    }
    const ResolvedVar& secret = (*vars)[2];
    EXPECT_EQ(text_of(secret), "PRIVATE");
    EXPECT_EQ(secret.coordinate, "dev/app/signing");
    EXPECT_EQ(secret.sensitivity, Sensitivity::High);
    EXPECT_EQ(secret.found_in, FoundIn(GlobalVault{}));
    EXPECT_EQ(failure("D=secret:dev/app/pub#private"),
              "env-refs error: `D`: coordinate selects `#private` but this is a public-only keypair");
}

TEST_F(ResolverTest, TotpIsNeverInjected) {
    put(record_of(TotpRecord{SecretValue::from_text("seed")}, coordinate("secret:dev/app/otp"), Sensitivity::Low));
    EXPECT_EQ(failure("T=secret:${ENV}/app/otp | 123456"),
              "env-refs error: `T`: coordinate `dev/app/otp` is a TOTP enrollment \xE2\x80\x94 its code is "
              "time-varying and single-use, so it cannot be injected via `.env.refs`; produce one on demand with "
              "`tarnel code`");
}

TEST_F(ResolverTest, OneProviderCallAndOneAuditEventPerReference) {
    provider_.values = {{"test://vault/shared", "from the store"}};
    put_reference("secret:dev/app/r1", "test://vault/shared");
    put_reference("secret:dev/app/r2", "test://vault/shared");
    Result<std::vector<ResolvedVar>> vars = run("A=secret:dev/app/r1\nB=secret:dev/app/r2\nC=secret:dev/app/r1");
    ASSERT_TRUE(vars) << vars.error().display();
    EXPECT_EQ(provider_.calls.size(), 1U);
    for (const ResolvedVar& var : *vars) {
        EXPECT_EQ(text_of(var), "from the store");
        EXPECT_EQ(var.reference, "test://vault/shared");
        EXPECT_EQ(var.sensitivity, Sensitivity::Low);
        EXPECT_EQ(var.found_in, FoundIn(GlobalVault{}));
    }
    EXPECT_EQ((*vars)[1].coordinate, "dev/app/r2");
    ASSERT_EQ(sink_.events.size(), 1U);
    EXPECT_EQ(*sink_.events[0].to_json(),
              R"({"ts":"2026-01-01T00:00:00Z","action":"provider-invocation","coordinate":"dev/app/r1",)"
              R"("environment":"dev","result":"scheme:test","origin":"agent"})");
}

TEST_F(ResolverTest, ProviderFailureIsFinalEvenWithAFallback) {
    put_reference("secret:dev/app/broken", "test://vault/missing");
    EXPECT_EQ(failure("OK=fine\nA=secret:dev/app/broken | fallback"), "provider error: test store has no such secret");
    EXPECT_EQ(sink_.events.size(), 1U);
}

TEST_F(ResolverTest, ReferenceWithoutSchemeIsAuditedAsUnknown) {
    put_reference("secret:dev/app/odd", "no-scheme-here");
    std::unique_ptr<SecretProvider> counting = std::make_unique<CountingProvider>();
    const SchemeRouter router = SchemeRouter().with(std::move(counting));
    Result<std::vector<ResolvedVar>> vars = run("A=secret:dev/app/odd", "dev", std::nullopt, &router);
    ASSERT_FALSE(vars);
    EXPECT_EQ(vars.error().display(),
              "provider error: reference `no-scheme-here` is malformed: expected `<scheme>://\xE2\x80\xA6`");
    ASSERT_EQ(sink_.events.size(), 1U);
    EXPECT_EQ(sink_.events[0].result, "scheme:unknown");
}

TEST_F(ResolverTest, UnwritableAuditLogDoesNotStopResolution) {
    provider_.values = {{"test://vault/x", "value"}};
    put_reference("secret:dev/app/r", "test://vault/x");
    // A directory where the log should be: every append fails.
    fs::create_directory(temp_.path() / "audit.log");
    const FileAuditSink unwritable(temp_.path() / "audit.log");
    ASSERT_FALSE(unwritable.record(AuditEvent("t", AuditAction::ProviderInvocation, "probe")));
    Result<std::vector<ResolvedVar>> vars = run("A=secret:dev/app/r", "dev", std::nullopt, nullptr, &unwritable);
    ASSERT_TRUE(vars) << vars.error().display();
    EXPECT_EQ(text_of((*vars)[0]), "value");
    EXPECT_EQ(provider_.calls.size(), 1U);
}

TEST_F(ResolverTest, FailingKeyringFailsEvenAnEmptyFile) {
    const MockKeyring empty;
    const ResolverParts parts{registry_, empty, env_, provider_, sink_, clock_, Actor::Human};
    for (std::string_view text : {"", "A=literal"}) {
        Result<std::vector<ResolvedVar>> vars = resolve(*EnvRefs::parse(text), "dev", parts, std::nullopt);
        ASSERT_FALSE(vars);
        EXPECT_EQ(vars.error().display(), "keyring operation failed: no master key set");
    }
    Result<std::vector<ResolvedVar>> none = run("");
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST(SystemEnvSource, ReadsUtf8ValuesAndTreatsOthersAsUnset) {
    const SystemEnvSource env;
    ::setenv("TARNEL_TEST_EMPTY", "", 1);
    ::setenv("TARNEL_TEST_TEXT", "v\xC3\xA9", 1);
    ::setenv("TARNEL_TEST_BYTES", "v\xFF", 1);
    ::setenv("TARNEL_TEST_A", "B=c", 1);
    const std::optional<SecretValue> empty = env.get("TARNEL_TEST_EMPTY");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    EXPECT_EQ(env.get("TARNEL_TEST_TEXT")->expose_secret_chars(), "v\xC3\xA9");
    EXPECT_FALSE(env.get("TARNEL_TEST_BYTES"));
    EXPECT_FALSE(env.get("TARNEL_TEST_UNSET_HOPEFULLY"));
    EXPECT_FALSE(env.get("TARNEL_TEST_A=B"));
    EXPECT_FALSE(env.get(std::string_view("TARNEL_TEST_TEXT\0x", 18)));
    for (const char* name : {"TARNEL_TEST_EMPTY", "TARNEL_TEST_TEXT", "TARNEL_TEST_BYTES", "TARNEL_TEST_A"}) {
        ::unsetenv(name);
    }
}

// Stands in for a provider of one scheme and says which instance answered.
class NamedProvider final : public SecretProvider {
public:
    NamedProvider(std::string scheme, std::string answer) : scheme_(std::move(scheme)), answer_(std::move(answer)) {}
    Result<SecretValue> materialize(std::string_view reference) const override {
        return SecretValue::from_text(answer_ + " " + std::string(reference));
    }
    std::string_view scheme() const override { return scheme_; }

private:
    std::string scheme_;
    std::string answer_;
};

TEST(SchemeRouter, RoutesByExactSchemeLastRegisteredFirst) {
    const SchemeRouter router = SchemeRouter()
                                    .with(std::make_unique<NamedProvider>("azure-kv", "first"))
                                    .with(std::make_unique<NamedProvider>("aws-sm", "aws"))
                                    .with(std::make_unique<NamedProvider>("azure-kv", "second"));
    EXPECT_EQ(router.scheme(), "*");
    EXPECT_EQ(router.materialize("azure-kv://v/s")->expose_secret_chars(), "second azure-kv://v/s");
    EXPECT_EQ(router.materialize("aws-sm://r/s://x")->expose_secret_chars(), "aws aws-sm://r/s://x");
    EXPECT_EQ(router.materialize("Azure-KV://v/s").error().display(),
              "provider error: no provider registered for reference scheme `Azure-KV` (supported: azure-kv, aws-sm)");
    EXPECT_EQ(SchemeRouter().materialize("gcp-sm://x").error().display(),
              "provider error: no provider registered for reference scheme `gcp-sm` (supported: azure-kv, aws-sm)");
    EXPECT_EQ(router.materialize("azure-kv:/v/s").error().display(),
              "provider error: reference `azure-kv:/v/s` is malformed: expected `<scheme>://\xE2\x80\xA6`");
}

}  // namespace
}  // namespace tarnel::core
