#include "core/model/coordinate.hpp"

#include <cstdio>

#include "support/test_support.hpp"

namespace tarnel::core {
namespace {

Coordinate parse(std::string_view text) {
    auto coordinate = Coordinate::from_str(text);
    EXPECT_TRUE(coordinate.has_value()) << text;
    return std::move(*coordinate);
}

std::string failure(std::string_view text) {
    auto coordinate = Coordinate::from_str(text);
    if (coordinate) return "parsed";
    EXPECT_EQ(coordinate.error().kind(), ErrorKind::InvalidCoordinate);
    return coordinate.error().display();
}

TEST(CoordinateParse, ReadsSegmentsScopeAndFragmentAndPrintsBack) {
    for (std::string_view text :
         {"secret:dev/app/db", "secret://global/prod/api/token#public", "secret:dev/app/x#private",
          "secret:${ENV}/app/db", "secret:dev/a$b/c{d}", "secret:d é v/cömp.o-n_t/k ey"}) {
        EXPECT_EQ(parse(text).to_string(), text);
    }
    const auto plain = parse("secret:dev/app/db");
    EXPECT_EQ(plain.environment().name(), "dev");
    EXPECT_EQ(plain.component(), "app");
    EXPECT_EQ(plain.key(), "db");
    EXPECT_FALSE(plain.is_global());
    EXPECT_EQ(plain.fragment(), Fragment::None);

    const auto scoped = parse("secret://global/prod/api/token#public");
    EXPECT_TRUE(scoped.is_global());
    EXPECT_EQ(scoped.fragment(), Fragment::Public);
    EXPECT_TRUE(parse("secret:${ENV}/app/db").environment().is_placeholder());
}

TEST(CoordinateParse, FailsWithTheFirstBrokenRule) {
    const std::string p = "invalid coordinate URI: ";
    const auto prefix = p + "must start with `secret:`";
    const auto segments = p + "coordinate must have exactly three segments";
    const auto empty = p + "segments must be non-empty";
    const auto global_only = p + "only `//global/` scope selector is supported";
    const struct {
        std::string_view text;
        std::string expected;
    } cases[] = {
        {"Secret:dev/app/db", prefix},
        {" secret:dev/app/db", prefix},
        {"secret:dev/app/db#Public",
         p + "unknown coordinate fragment `#Public` (only `#public`/`#private` are valid)"},
        {"secret:dev/app/db#",
         p + "unknown coordinate fragment `#` (only `#public`/`#private` are valid)"},
        {"secret:dev/app/db#public#x",
         p + "unknown coordinate fragment `#public#x` (only `#public`/`#private` are valid)"},
        // The fragment is judged before the scope form and the segments.
        {"secret://team/x#bad",
         p + "unknown coordinate fragment `#bad` (only `#public`/`#private` are valid)"},
        {"secret://global", p + "scope form requires `//<authority>/<path>`"},
        {"secret://team/dev/app/db", global_only},
        {"secret:///dev/app/db", global_only},
        {"secret:dev/app", segments},
        {"secret:dev/app/db/extra", segments},
        {"secret:", segments},
        {"secret:dev//db", empty},
        {"secret:/app/db", empty},
        {"secret:dev-${X}/app/db",
         p + "only `${ENV}` interpolation is allowed in the environment segment"},
        {"secret:dev/${X}/db", p + "interpolation is not allowed in the component segment"},
        {"secret:dev/app/${X}", p + "interpolation is not allowed in the key segment"},
        {"secret:${ENV}/${ENV}/db", p + "interpolation is not allowed in the component segment"},
    };
    for (const auto& c : cases) EXPECT_EQ(failure(c.text), c.expected) << c.text;
}

TEST(CoordinatePaths, CanonicalPathAndStorageIdIgnoreScopeAndFragment) {
    EXPECT_EQ(*parse("secret:dev/app/db").canonical_path(), "dev/app/db");
    const auto id = *parse("secret:prod/api/token").storage_id();
    EXPECT_EQ(id.size(), 64U);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(*parse("secret://global/prod/api/token#public").storage_id(), id);
    EXPECT_EQ(*parse("secret:prod/api/token#private").storage_id(), id);
    EXPECT_NE(*parse("secret:prod/api/tokens").storage_id(), id);
}

TEST(CoordinatePaths, PlaceholderIsNotStorableUntilSubstituted) {
    const auto templated = parse("secret:${ENV}/app/db#private");
    for (const auto& result : {templated.canonical_path(), templated.storage_id()}) {
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().display(),
                  "coordinate is not storable: coordinate has an unresolved `${ENV}` placeholder");
    }
    const auto staged = templated.with_env("staging");
    EXPECT_EQ(*staged.canonical_path(), "staging/app/db");
    EXPECT_EQ(staged.to_string(), "secret:staging/app/db#private");
    EXPECT_EQ(*parse("secret:dev/app/db").with_env("staging").canonical_path(), "dev/app/db");
}

// The storage id must be reproducible by any BLAKE3 tool from the canonical path.
TEST(CoordinatePaths, StorageIdMatchesB3sum) {
    if (std::system("command -v b3sum >/dev/null 2>&1") != 0) GTEST_SKIP() << "b3sum not installed";
    const tarnel::testing::TempDir dir;
    const auto file = dir.path() / "path";
    for (std::string_view text : {"secret:dev/app/db", "secret:prod/api/token",
                                  "secret:ünïcødé/服务/ключ", "secret:a b/c.d-e_f/$g{h}"}) {
        const auto coordinate = parse(text);
        tarnel::testing::write_file(file, *coordinate.canonical_path());
        const std::string command = "b3sum --no-names '" + file.string() + "'";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char line[128] = {};
        ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
        ::pclose(pipe);
        EXPECT_EQ(std::string(line, 64), *coordinate.storage_id()) << text;
    }
}

}  // namespace
}  // namespace tarnel::core
