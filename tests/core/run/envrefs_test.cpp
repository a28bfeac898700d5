// .env.refs files and their resolution. That any parse holds only identifier
// names, each once, with no interpolation left, and that any refusal names its
// line, is fuzz/envrefs_fuzz.cpp's work.

#include "core/run/envrefs.hpp"

#include <map>

#include "core/base/overloaded.hpp"
#include "core/keys/crypto.hpp"
#include "core/run/resolver.hpp"
#include "core/store/store.hpp"
#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using namespace tarnel::testing;

// "NAME=<source>; ..." with literals quoted, or the refusal.
std::string parsed(std::string_view text) {
    const Result<EnvRefs> refs = EnvRefs::parse(text);
    if (!refs) return refs.error().detail();
    std::string shown = refs->project ? "project " + *refs->project : "";
    for (const auto& [name, source] : refs->vars) {
        shown += (shown.empty() ? "" : "; ") + name + "=" +
                 std::visit(
                     Overloaded{
                         [](const source::Literal& l) { return "'" + l.value + "'"; },
                         [](const source::Env& e) { return "env:" + e.var + (e.fallback ? " | " + *e.fallback : ""); },
                         [](const source::Secret& s) { return s.uri + (s.fallback ? " | " + *s.fallback : ""); }},
                     source);
    }
    return shown;
}

TEST(EnvRefs, ClassifiesEachSourceFormAndRefusesTheFirstBadLine) {
    const std::string interpolation =
        "cross-variable interpolation is not allowed (only `${ENV}` in a URI path and `${env:NAME}` are valid)";
    const std::string bad_name = "variable name is not a valid identifier";
    const std::string no_equals = "expected `NAME=<source>` or `project = <name>`";
    const std::pair<std::string_view, std::string> cases[] = {
        // clang-format off: one case a row
        {"# only\n\n   \n\t# comments\n", ""},
        {"DB_URL = secret: dev/app/db | sqlite://local", "DB_URL=secret:dev/app/db | sqlite://local"},
        {"K=secret:dev/app/db |", "K=secret:dev/app/db | "},
        {"K=secret", "K='secret'"},
        {"PORT=${env: PORT | 8080}", "PORT=env:PORT | 8080"},
        {"X=a$b{c}\nY=\nZ=x=y", "X='a$b{c}'; Y=''; Z='x=y'"},
        // Comments start only at the line's first byte or after ASCII white space.
        {"A=abc#def\nB=abc #def\nC=abc\v#def", "A='abc#def'; B='abc'; C='abc\v#def'"},
        // Unicode white space is trimmed around the line, the key and the value.
        {"\xC2\xA0" "A\xE2\x80\x83=\xE3\x80\x80 b \xE2\x80\xA8", "A='b'"},
        // Only a carriage return before a line feed belongs to the line ending.
        {"A=1\r\nB=2\rC=3", "A='1'; B='2\rC=3'"},
        {"A=1\r\nproject =  billing team \r\nB=${env:B}\n", "project billing team; A='1'; B=env:B"},
        {"# one\n# two\n\n   # four\nbad line", "line 5: " + no_equals},
        {"#x\r\nA=1\r\n A = 2", "line 3: duplicate variable name"},
        {"project = a\nproject =", "line 2: duplicate `project =` line"},
        // A byte-order mark is content: it spoils the first key or comment.
        {"\xEF\xBB\xBF" "A=1", "line 1: " + bad_name},
        {"X=${env:A-B | x}", "line 1: `${env:\xE2\x80\xA6}` requires a valid variable name"},
        {"A=ok\nB=${", "line 2: " + interpolation},
        // Several faults on one line: the earliest rule reports.
        {"1X=${", "line 1: " + bad_name},
        // clang-format on
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parsed(text), expected) << text;
}

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

// Serves "test://" references from a map and counts its calls.
class MapProvider final : public SecretProvider {
public:
    std::map<std::string, std::string, std::less<>> values;
    mutable int calls = 0;

    Result<SecretValue> materialize(std::string_view reference) const override {
        ++calls;
        const auto found = values.find(reference);
        if (found == values.end()) return fail(ErrorKind::Provider, "test store has no such secret");
        return SecretValue::from_text(found->second);
    }
    std::string_view scheme() const override { return "test"; }
};

// One value as "NAME=value @coordinate ref <reference> <sensitivity> <where found>".
std::string shown(const ResolvedVar& var) {
    std::string text = var.name + "=" + std::string(var.value.expose_secret_chars());
    if (var.coordinate) text += " @" + *var.coordinate;
    if (var.reference) text += " ref " + *var.reference;
    if (var.sensitivity) text += " " + std::string(sensitivity_word(*var.sensitivity));
    return text + std::visit(Overloaded{[](const NotFromVault&) { return std::string(); },
                                        [](const GlobalVault&) { return std::string(" global"); },
                                        [](const ProjectVault& p) { return " project " + p.name; }},
                             var.found_in);
}

class Resolver : public ::testing::Test {
protected:
    Resolver() {
        put(literal(coordinate("secret:dev/app/db"), "global dev"));
        put(literal(coordinate("secret:dev/app/db"), "project dev"), "p");
        put(record_of(KeypairRecord{KeyAlgorithm::Ed25519, SecretValue::from_text("PRIVATE"), "PUBLIC"},
                      "secret:dev/app/signing", Sensitivity::High));
        put(record_of(KeypairRecord{KeyAlgorithm::Ed25519, std::nullopt, "ONLY PUBLIC"}, "secret:dev/app/pub"));
        put(record_of(TotpRecord{SecretValue::from_text("seed")}, "secret:dev/app/otp"));
        for (const char* at : {"secret:dev/app/r1", "secret:dev/app/r2"}) {
            put(record_of(ReferenceRecord{"test://vault/shared"}, at));
        }
        put(record_of(ReferenceRecord{"test://vault/missing"}, "secret:dev/app/broken"));
        provider_.values = {{"test://vault/shared", "from the store"}};
        env_.vars = {{"HOME", ""},
                     {"USER", "ada"},
                     {"TARNEL_PASSPHRASE", "hunter2"},
                     {"TARNEL_VAULT_DIR", "/v"},
                     {"TARNELX", "x"}};
        // A damaged record: reading it fails, so a refusal that comes first shows.
        write_file(*record_path(registry_.global_dir(), coordinate("secret:prod/app/db")), "TARN");
    }

    static SecretRecord record_of(RecordKind kind, const std::string& at, Sensitivity sensitivity = Sensitivity::Low) {
        SecretRecord record = literal(coordinate(at), "");
        record.kind = std::move(kind);
        record.meta.sensitivity = sensitivity;
        return record;
    }
    void put(const SecretRecord& record, std::optional<std::string_view> project = std::nullopt) {
        const fs::path dir = project ? *registry_.checked_project_dir(*project) : registry_.global_dir();
        ASSERT_TRUE(write_record(dir, coordinate("secret:" + record.canonical_path()), *seal(record, key_)));
    }

    ResolverParts parts(const SecretProvider& provider, const AuditSink& audit) const {
        return ResolverParts{registry_, keyring_, env_, provider, audit, clock_, Actor::Agent};
    }
    // The values joined by "; ", or the error.
    static std::string run_with(const ResolverParts& with, std::string_view text, std::string_view environment = "dev",
                                std::optional<std::string_view> project = std::nullopt) {
        const Result<std::vector<ResolvedVar>> vars = resolve(*EnvRefs::parse(text), environment, with, project);
        if (!vars) return vars.error().display();
        std::string joined;
        for (const ResolvedVar& var : *vars) joined += (joined.empty() ? "" : "; ") + shown(var);
        return joined;
    }
    std::string run(std::string_view text) { return run_with(parts(provider_, sink_), text); }
    std::string audited() const { return read_file(sink_.path()); }

    TempDir temp_;
    MasterKey key_ = key_of(0x21);
    Registry registry_ = *Registry::open(temp_.path() / "root");
    MemoryKeyring keyring_{key_.clone()};
    MapEnvSource env_;
    MapProvider provider_;
    FileAuditSink sink_ = FileAuditSink::under_root(temp_.path());
    FixedClock clock_{1'767'225'600};  // 2026-01-01T00:00:00Z
};

TEST_F(Resolver, EachSourceResolvesWhereItShould) {
    const std::string prod_fallback = "env-refs error: `DB`: a `| fallback` is forbidden for prod (I4c)";
    const std::tuple<std::string_view, std::string_view, std::optional<std::string_view>, std::string> cases[] = {
        // clang-format off: one case a row
        // An empty variable is set, not unset. A project argument over the file's line is InjectScope's, the
        // fall back to global RegistryTest's.
        {"A=hello\nH=${env:HOME | /tmp}\nU=${env:USER}\nP=${env:PORT | 8080}", "dev", {}, "A=hello; H=; U=ada; P=8080"},
        {"project = p\nDB=secret:${ENV}/app/db\nG=secret://global/dev/app/db", "dev", {}, "DB=project dev @dev/app/db medium project p; G=global dev @dev/app/db medium global"},
        {"DB=secret:${ENV}/app/db", "", {}, "env-refs error: `DB`: a `${ENV}` coordinate needs a non-empty --env"},
        // Production refuses a fallback before the vault is read.
        {"DB=secret:prod/app/db | x", "dev", {}, prod_fallback},
        {"DB=secret:${ENV}/app/db | x", "prod", {}, prod_fallback},
        {"DB=secret:prod/app/db", "dev", {}, "record serialization failed: not a tarnel record frame"},
        {"A=secret:dev/app/signing\nB=secret:dev/app/signing#public\nC=secret:dev/app/signing#private\nD=secret:dev/app/pub", "dev", {}, "A=PUBLIC; B=PUBLIC; C=PRIVATE @dev/app/signing high global; D=ONLY PUBLIC"},
        {"D=secret:dev/app/pub#private", "dev", {}, "env-refs error: `D`: coordinate selects `#private` but this is a public-only keypair"},
        {"T=secret:${ENV}/app/otp | 123456", "dev", {}, "env-refs error: `T`: coordinate `dev/app/otp` is a TOTP enrollment \xE2\x80\x94 its code is time-varying and single-use, so it cannot be injected via `.env.refs`; produce one on demand with `tarnel code`"},
        // A provider's failure is final, even with a fallback.
        {"OK=fine\nA=secret:dev/app/broken | fallback", "dev", {}, "provider error: test store has no such secret"},
        // clang-format on
    };
    for (const auto& [text, environment, project, expected] : cases) {
        EXPECT_EQ(run_with(parts(provider_, sink_), text, environment, project), expected) << text;
    }
}

// Guards: TARNEL_ variables leaking into what a child is given.
TEST_F(Resolver, VaultSettingsAreNeverReadFromTheEnvironment) {
    EXPECT_EQ(run("P=${env:TARNEL_PASSPHRASE | none}\nX=${env:TARNELX}"), "P=none; X=x");
    EXPECT_EQ(run("D=${env:TARNEL_VAULT_DIR}"),
              "env-refs error: `D`: env var `TARNEL_VAULT_DIR` is unset and has no fallback");
    EXPECT_EQ(env_.asked, std::vector<std::string>{"TARNELX"});
}

TEST_F(Resolver, OneProviderCallAndOneAuditEventPerReference) {
    const auto shared = [](std::string_view at) {
        return "=from the store @dev/app/" + std::string(at) + " ref test://vault/shared low global";
    };
    EXPECT_EQ(run("A=secret:dev/app/r1\nB=secret:dev/app/r2\nC=secret:dev/app/r1"),
              "A" + shared("r1") + "; B" + shared("r2") + "; C" + shared("r1"));
    EXPECT_EQ(provider_.calls, 1);
    EXPECT_EQ(audited(), R"({"ts":"2026-01-01T00:00:00Z","action":"provider-invocation","coordinate":"dev/app/r1",)"
                         R"("environment":"dev","result":"scheme:test","origin":"agent"})"
                         "\n");
    // An unwritable audit log does not stop resolution.
    fs::create_directories(temp_.path() / "elsewhere" / "audit.log");
    const FileAuditSink unwritable = FileAuditSink::under_root(temp_.path() / "elsewhere");
    EXPECT_EQ(run_with(parts(provider_, unwritable), "A=secret:dev/app/r1"), "A" + shared("r1"));
    // A reference without a scheme is audited as an unknown one.
    put(record_of(ReferenceRecord{"no-scheme-here"}, "secret:dev/app/odd"));
    const SchemeRouter router = SchemeRouter().with(std::make_unique<MapProvider>());
    EXPECT_EQ(run_with(parts(router, sink_), "A=secret:dev/app/odd"),
              "provider error: reference `no-scheme-here` is malformed: expected `<scheme>://\xE2\x80\xA6`");
    EXPECT_TRUE(audited().ends_with("\"result\":\"scheme:unknown\",\"origin\":\"agent\"}\n")) << audited();
    // A failing keyring fails even an empty file.
    EXPECT_EQ(run_with({registry_, MemoryKeyring(), env_, provider_, sink_, clock_, Actor::Human}, ""),
              "keyring operation failed: no master key set");
}

// Bytes that are not UTF-8 are no value. (Only identifiers are ever asked: EnvRefs parses no other name.)
TEST(SystemEnvSource, ReadsUtf8ValuesAndTreatsOthersAsUnset) {
    const ScopedEnv a("TARNEL_TEST_A", "B=c"), bytes("TARNEL_TEST_BYTES", "v\xFF");
    EXPECT_EQ(SystemEnvSource().get("TARNEL_TEST_A")->expose_secret_chars(), "B=c");
    EXPECT_FALSE(SystemEnvSource().get("TARNEL_TEST_BYTES"));
}

}  // namespace
}  // namespace tarnel::core
