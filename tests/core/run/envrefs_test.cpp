#include "core/run/envrefs.hpp"

#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

using Vars = std::vector<std::pair<std::string, Source>>;
using source::Env;
using source::Literal;
using source::Secret;

constexpr std::string_view kInterpolation =
    "cross-variable interpolation is not allowed (only `${ENV}` in a URI path and `${env:NAME}` are valid)";
constexpr std::string_view kBadEnvName = "`${env:\xE2\x80\xA6}` requires a valid variable name";
constexpr std::string_view kBadName = "variable name is not a valid identifier";
constexpr std::string_view kNoEquals = "expected `NAME=<source>` or `project = <name>`";

Vars one(std::string name, Source source) { return {{std::move(name), std::move(source)}}; }

TEST(EnvRefsParse, ClassifiesEachSourceForm) {
    const struct {
        std::string_view text;
        Vars expected;
    } cases[] = {
        {"", {}},
        {"# only\n\n   \n\t# comments\n", {}},
        {"DB_URL=secret:dev/app/db", one("DB_URL", Secret{"secret:dev/app/db", std::nullopt})},
        {"DB_URL = secret: dev/app/db | sqlite://local", one("DB_URL", Secret{"secret:dev/app/db", "sqlite://local"})},
        {"TOKEN=secret:${ENV}/api/token", one("TOKEN", Secret{"secret:${ENV}/api/token", std::nullopt})},
        {"K=secret:dev/app/signing#private", one("K", Secret{"secret:dev/app/signing#private", std::nullopt})},
        {"K=secret:dev/app/db |", one("K", Secret{"secret:dev/app/db", ""})},
        {"K=secret:a|b|c", one("K", Secret{"secret:a", "b|c"})},
        {"K=secret:", one("K", Secret{"secret:", std::nullopt})},  // judged as a coordinate later
        {"K=secret", one("K", Literal{"secret"})},
        {"HOME_DIR=${env:HOME}", one("HOME_DIR", Env{"HOME", std::nullopt})},
        {"PORT=${env:PORT | 8080}", one("PORT", Env{"PORT", "8080"})},
        {"X=${env: HOME }", one("X", Env{"HOME", std::nullopt})},
        {"X=${env:A|}", one("X", Env{"A", ""})},
        {"X=${env:A | b}}", one("X", Env{"A", "b}"})},
        {"X=a$b{c}", one("X", Literal{"a$b{c}"})},
        {"X=", one("X", Literal{""})},
        {"X=\"quoted\"", one("X", Literal{"\"quoted\""})},
        {"X=a | b", one("X", Literal{"a | b"})},
        {"X=x=y", one("X", Literal{"x=y"})},
        {"_X1=a", one("_X1", Literal{"a"})},
        {"Project = x", one("Project", Literal{"x"})},
        // Comments start only at the line's first byte or after ASCII white space.
        {"A=abc#def", one("A", Literal{"abc#def"})},
        {"A=abc #def", one("A", Literal{"abc"})},
        {"A=abc\t#def", one("A", Literal{"abc"})},
        {"A=abc\v#def", one("A", Literal{"abc\v#def"})},
        {"A=abc\xC2\xA0#def", one("A", Literal{"abc\xC2\xA0#def"})},
        {"   # indented comment\nA=1 # trailing", one("A", Literal{"1"})},
        // Unicode white space is trimmed around the line, the key and the value.
        {"\xC2\xA0" "A\xE2\x80\x83=\xE3\x80\x80 b \xE2\x80\xA8", one("A", Literal{"b"})},
        // Only a carriage return before a line feed belongs to the line ending.
        {"A=1\r\nB=2\r\n", {{"A", Literal{"1"}}, {"B", Literal{"2"}}}},
        {"A=1\rB=2", one("A", Literal{"1\rB=2"})},
        {"A=1\nB=2", {{"A", Literal{"1"}}, {"B", Literal{"2"}}}},
        {"B=2\nA=1\nC=3\n", {{"B", Literal{"2"}}, {"A", Literal{"1"}}, {"C", Literal{"3"}}}},
    };
    for (const auto& c : cases) {
        Result<EnvRefs> refs = EnvRefs::parse(c.text);
        ASSERT_TRUE(refs) << c.text << ": " << refs.error().display();
        EXPECT_EQ(refs->vars, c.expected) << c.text;
        EXPECT_FALSE(refs->project) << c.text;
    }
}

TEST(EnvRefsParse, ProjectLine) {
    Result<EnvRefs> refs = EnvRefs::parse("A=1\r\nproject =  billing team \r\nB=${env:B}\n");
    ASSERT_TRUE(refs);
    EXPECT_EQ(refs->project, "billing team");
    EXPECT_EQ(refs->vars.size(), 2U);
    // The name is taken as it stands: no identifier rule, no interpolation check.
    Result<EnvRefs> odd = EnvRefs::parse("project=${x}");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->project, "${x}");
}

TEST(EnvRefsParse, FailsOnTheFirstBadLineWithItsNumber) {
    const struct {
        std::string_view text;
        std::size_t line;
        std::string_view message;
    } cases[] = {
        {"A", 1, kNoEquals},
        {"# one\n# two\n\n   # four\nbad line", 5, kNoEquals},
        {"#x\r\nA=1\r\n A = 2", 3, "duplicate variable name"},
        {"A=1\na=2\nA=3", 3, "duplicate variable name"},
        {"project = a\nproject =", 2, "duplicate `project =` line"},
        {"project =\nproject = a", 1, "`project =` requires a name"},
        {"1X=a", 1, kBadName},
        {"MY-VAR=a", 1, kBadName},
        {"\xC3\x84X=a", 1, kBadName},
        {"=a", 1, kBadName},
        {"x#y", 1, kNoEquals},
        // A byte-order mark is content: it spoils the first key or comment.
        {"\xEF\xBB\xBF" "A=1", 1, kBadName},
        {"\xEF\xBB\xBF# comment\nA=1", 1, kNoEquals},
        {"X=${env:1ABC}", 1, kBadEnvName},
        {"X=${env:}", 1, kBadEnvName},
        {"X=${env:A-B | x}", 1, kBadEnvName},
        {"X=${env:A} | b", 1, kInterpolation},
        {"X=prefix-${env:A}", 1, kInterpolation},
        {"X=${ENV}", 1, kInterpolation},
        {"X=secret:dev/app/db | ${env:B}", 1, kInterpolation},
        {"X=${env:A | ${B}}", 1, kInterpolation},
        {"A=ok\nB=${", 2, kInterpolation},
        // Several faults on one line: the earliest rule reports.
        {"1X=${", 1, kBadName},
        {"A=1\nA=${", 2, "duplicate variable name"},
        {"X=${env:1 | ${y}}", 1, kBadEnvName},
    };
    for (const auto& c : cases) {
        Result<EnvRefs> refs = EnvRefs::parse(c.text);
        ASSERT_FALSE(refs) << c.text;
        EXPECT_EQ(refs.error().kind(), ErrorKind::EnvRefs) << c.text;
        EXPECT_EQ(refs.error().detail(), "line " + std::to_string(c.line) + ": " + std::string(c.message)) << c.text;
    }
    EXPECT_EQ(EnvRefs::parse("A=1\n\nA=2").error().display(), "env-refs error: line 3: duplicate variable name");
}

TEST(EnvRefsHelpers, IdentifiersFallbacksAndInterpolation) {
    for (std::string_view good : {"A", "_", "_X1", "abc_DEF_9"}) EXPECT_TRUE(is_identifier(good)) << good;
    for (std::string_view bad : {"", "1A", "A-B", "A B", "A\xC3\xA9", "A.B"}) EXPECT_FALSE(is_identifier(bad)) << bad;

    const FallbackSplit none = split_fallback(" \xE2\x80\x80 a b \t");
    EXPECT_EQ(none.primary, "a b");
    EXPECT_FALSE(none.fallback);
    const FallbackSplit empty = split_fallback("a |");
    EXPECT_EQ(empty.primary, "a");
    EXPECT_EQ(empty.fallback, "");
    const FallbackSplit two = split_fallback("|x | y");
    EXPECT_EQ(two.primary, "");
    EXPECT_EQ(two.fallback, "x | y");

    EXPECT_TRUE(reject_interpolation("$ {x} $x {", 4));
    Result<void> refused = reject_interpolation("a${", 7);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().detail(), "line 7: " + std::string(kInterpolation));
}

}  // namespace
}  // namespace tarnel::core
