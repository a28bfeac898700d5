#include "wrapper/encoded_forms.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "wrapper/mask_support.hpp"
#include "wrapper/sanitize.hpp"

namespace tarnel::wrapper {
namespace {

using testing::bytes_of;
using testing::secrets_of;
using testing::text_of;
using testing::texts_of;

std::vector<std::string> forms_of(const std::vector<std::string>& secrets) {
    return texts_of(encoded_forms(secrets_of(secrets)));
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(EncodedForms, OnlySecretsOfEightBytesOrMoreHaveThem) {
    EXPECT_TRUE(forms_of({"1234567", ""}).empty());
    const std::vector<std::string> forms = forms_of({"12345678"});
    EXPECT_TRUE(contains(forms, "3132333435363738"));
    EXPECT_TRUE(contains(forms, "MTIzNDU2Nzg="));
}

TEST(EncodedForms, AreDistinctLongestFirstAtLeastEightBytesAndNeverASecret) {
    // The second secret is the first one's hex; the third repeats the first.
    const std::vector<std::string> secrets = {"abcdefgh", "6162636465666768", "abcdefgh", "\xff\xfe\xfd\xfc\xfb\xfa\xf9\xf8\xf7",
                                              "a+b/c?d=e&f g%h", "unreserved-._~AZaz09"};
    const std::vector<std::string> forms = forms_of(secrets);
    EXPECT_EQ(std::set<std::string>(forms.begin(), forms.end()).size(), forms.size());
    for (std::size_t i = 0; i < forms.size(); ++i) {
        EXPECT_GE(forms[i].size(), kMinFormSize) << forms[i];
        EXPECT_FALSE(contains(secrets, forms[i])) << forms[i];
        if (i > 0) {
            EXPECT_GE(forms[i - 1].size(), forms[i].size());
        }
    }
    EXPECT_TRUE(contains(forms, "a%2Bb%2Fc%3Fd%3De%26f%20g%25h"));
    EXPECT_TRUE(contains(forms, "a%2bb%2fc%3fd%3de%26f%20g%25h"));
    EXPECT_TRUE(contains(forms, "FFFEFDFCFBFAF9F8F7"));
}

TEST(EncodedForms, LinesOfAMultiLineSecretOfEightBytesOrMore) {
    const std::vector<std::string> forms = forms_of({"first line of it\r\nshort\nsecond\rline\n\nlast-line"});
    EXPECT_TRUE(contains(forms, "first line of it"));
    EXPECT_TRUE(contains(forms, "second\rline"));
    EXPECT_TRUE(contains(forms, "last-line"));
    EXPECT_FALSE(contains(forms, "first line of it\r"));
    EXPECT_FALSE(contains(forms, "short"));

    const std::string output = "A first line of it B\nC short D\r\nE second\rline F last-line";
    EXPECT_EQ(text_of(mask_output(bytes_of(output), secrets_of({"first line of it\r\nshort\nsecond\rline\n\nlast-line"}))),
              "A *** B\nC short D\r\nE *** F ***");
}

}  // namespace
}  // namespace tarnel::wrapper
