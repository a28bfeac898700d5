#include "wrapper/sanitize.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wrapper/encoded_forms.hpp"
#include "wrapper/literal_index.hpp"
#include "wrapper/mask_support.hpp"

namespace tarnel::wrapper {
namespace {

using testing::bytes_of;
using testing::CaseMaker;
using testing::MaskCase;
using testing::naive_mask;
using testing::secrets_of;
using testing::text_of;

std::string masked(std::string_view output, const std::vector<std::string>& secrets) {
    return text_of(mask_secrets(bytes_of(output), secrets_of(secrets)));
}

// Each way a run of patterns can be searched: the Hyperscan index, plain
// search (as where Hyperscan cannot run), and the sequential rule once
// occurrences pile up.
const std::vector<std::pair<std::string, Masker::Options>> kPaths = {
    {"index", {}},
    {"search", {.literal_index = false, .max_matches = 0}},
    {"fallback after 2 occurrences", {.literal_index = true, .max_matches = 2}},
};

void expect_rule(const MaskCase& made, const std::vector<std::pair<std::string, Masker::Options>>& paths) {
    const std::string want = naive_mask(made.output, made.secrets);
    for (const auto& [path, options] : paths) {
        Masker masker = Masker::exact(secrets_of(made.secrets), options);
        core::SecretValue in_place = core::SecretValue::from_text(made.output);
        masker.apply_in_place(in_place);
        if (text_of(masker.apply(bytes_of(made.output))) == want && text_of(in_place) == want) continue;
        std::string shown;
        for (const std::string& secret : made.secrets) shown += " [" + secret + "]";
        ADD_FAILURE() << path << ": output [" << made.output.substr(0, 200) << "] secrets" << shown.substr(0, 400);
    }
}

TEST(MaskSecrets, ReplacesInOrderAgainstWhatEarlierSecretsLeft) {
    EXPECT_EQ(masked("xabcx bc", {"abc", "bc"}), "x***x ***");
    // Same length whatever the secret's.
    EXPECT_EQ(masked("[a][0123456789abcdef]", {"0123456789abcdef", "a"}), "[***][***]");
    // Left to right, non-overlapping, also for periodic secrets.
    EXPECT_EQ(masked("aaaaa", {"aa"}), "******a");
    EXPECT_EQ(masked("abababa", {"aba"}), "***b***");
    // A secret containing an earlier one no longer matches.
    EXPECT_EQ(masked("abc", {"b", "abc"}), "a***c");
    // A secret with '*' matches across the asterisks an earlier one left.
    EXPECT_EQ(masked("axb", {"x", "a*"}), "*****b");
    EXPECT_EQ(masked("x", {"x", "***"}), "***");
    EXPECT_EQ(masked("ab", {"b", "a**"}), "****");
}

TEST(MaskSecrets, SkipsEmptySecretsAndSecretsLongerThanTheOutput) {
    EXPECT_EQ(masked("abc", {""}), "abc");
    EXPECT_EQ(masked("abc", {"", "b", ""}), "a***c");
    EXPECT_EQ(masked("abc", {"abcd"}), "abc");
    EXPECT_EQ(masked("", {"a", ""}), "");
    EXPECT_EQ(masked("abc", {}), "abc");
    // Longer than the text once earlier secrets shrank it.
    EXPECT_EQ(masked("abcdef", {"abcdef", "****"}), "***");
    const std::string binary("\0\xff\0secret\0", 10);
    EXPECT_EQ(masked(binary, {std::string("\0s", 2)}), std::string("\0\xff***ecret\0", 11));
}

TEST(MaskSecrets, AgreesWithTheRuleOnSmallRandomCases) {
    CaseMaker maker(20260101);
    for (int i = 0; i < 8000; ++i) {
        const MaskCase made = maker.small();
        expect_rule(made, kPaths);
        if (HasFailure()) return;
    }
}

TEST(MaskSecrets, AgreesWithTheRuleOnLargeOutputsWithManySecrets) {
    CaseMaker maker(7);
    std::vector<std::pair<std::string, Masker::Options>> paths = kPaths;
    paths.push_back({"fallback after 500", {.literal_index = true, .max_matches = 500}});
    for (int i = 0; i < 6; ++i) expect_rule(maker.planted(20000 + maker.below(100000), 1 + maker.below(150)), paths);
}

// Many masks close together: a later secret with '*' is checked against each
// of them, or, past a budget, applied by the rule directly.
TEST(MaskSecrets, SecretsWithAsteriskAfterManyMasks) {
    std::string output;
    for (int i = 0; i < 5000; ++i) output += i % 7 == 0 ? "xab" : "ab";
    expect_rule({output, {"b", "xa*", "a*"}}, kPaths);
    expect_rule({output.substr(0, 200), {"b", "xa*", "a*"}}, kPaths);
    expect_rule({output, {"b", "b*"}}, kPaths);
}

TEST(MaskSecrets, SecretsBeyondTheIndexLimitAreSearchedBesideIt) {
    CaseMaker maker(11);
    const std::string huge = maker.word("ab", LiteralIndex::kMaxLiteralSize + 1);
    MaskCase made{maker.word("abc", 3000) + huge + "c" + huge.substr(5) + huge, {"abc", huge, "ba", huge.substr(5)}};
    expect_rule(made, kPaths);
}

TEST(Masker, ServesSeveralOutputsAlike) {
    CaseMaker maker(3);
    const MaskCase first = maker.planted(5000, 40);
    const MaskCase second = maker.planted(7000, 1);
    Masker masker = Masker::exact(secrets_of(first.secrets));
    for (const MaskCase* made : {&first, &second, &first}) {
        EXPECT_EQ(text_of(masker.apply(bytes_of(made->output))), naive_mask(made->output, first.secrets));
    }
}

// A large output is masked where it lies unless a mask is longer than what it replaces.
TEST(Masker, MasksInPlaceWithoutCopyingTheOutput) {
    const std::string output = "key=0123456789 again 0123456789 and xy";
    const auto expect_masked = [&](const std::vector<std::string>& secrets, const std::string& want, bool same_buffer) {
        core::SecretValue text = core::SecretValue::from_text(output);
        const std::uint8_t* const buffer = text.expose_secret().data();
        Masker::with_encoded_forms(secrets_of(secrets)).apply_in_place(text);
        EXPECT_EQ(text_of(text), want);
        EXPECT_EQ(text.expose_secret().data() == buffer, same_buffer) << want;
    };
    expect_masked({"0123456789"}, "key=*** again *** and xy", true);
    expect_masked({"absent secret"}, output, true);
    expect_masked({"456"}, "key=0123***789 again 0123***789 and xy", true);
    expect_masked({"456", "y"}, "ke***=0123***789 again 0123***789 and x***", false);
    expect_masked({"0123456789", "xy"}, "key=*** again *** and ***", false);
}

// The second pass is the same rule over the encoded forms, after the secrets.
TEST(MaskOutput, IsTheRuleOverTheSecretsThenTheirForms) {
    CaseMaker maker(5);
    for (int i = 0; i < 15; ++i) {
        MaskCase made = maker.planted(2000 + maker.below(10000), 1 + maker.below(30));
        const std::vector<core::SecretValue> secrets = secrets_of(made.secrets);
        std::vector<std::string> patterns = made.secrets;
        for (const std::string& form : testing::texts_of(encoded_forms(secrets))) {
            patterns.push_back(form);
            made.output.insert(maker.below(made.output.size()), form);
        }
        EXPECT_EQ(text_of(mask_output(bytes_of(made.output), secrets)), naive_mask(made.output, patterns));
        Masker searched = Masker::with_encoded_forms(secrets, {.literal_index = false, .max_matches = 0});
        EXPECT_EQ(text_of(searched.apply(bytes_of(made.output))), naive_mask(made.output, patterns));
    }
}

}  // namespace
}  // namespace tarnel::wrapper
