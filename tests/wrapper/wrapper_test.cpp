// The wrapper's gate and its masking. The allowlist admits only the runs an
// entry names, and only from a file sealed with the vault key. Masking is
// checked against an independent implementation: Python's bytes.replace
// applied secret by secret, and base64, binascii and urllib for the encoded
// forms, all computed in one child process for the whole suite.

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "support/test_support.hpp"
#include "wrapper/allowlist.hpp"
#include "wrapper/encoded_forms.hpp"
#include "wrapper/literal_index.hpp"
#include "wrapper/sanitize.hpp"

namespace tarnel::wrapper {
namespace {

namespace fs = std::filesystem;
using namespace tarnel::testing;
using Fields = std::vector<std::string>;

std::vector<core::SecretValue> secrets_of(const Fields& texts) {
    std::vector<core::SecretValue> secrets;
    for (const std::string& text : texts) secrets.push_back(core::SecretValue::from_text(text));
    return secrets;
}
std::string text_of(const core::SecretValue& value) { return std::string(value.expose_secret_chars()); }

// An output and its secrets; with `forms`, the secrets' encoded forms are
// planted in the output and masked after the secrets.
struct Case {
    std::string output;
    Fields secrets;
    bool forms = false;
};

// Random cases that make the rule's corners likely: small alphabets with '*',
// periodic secrets, secrets inside other secrets, secrets side by side.
class CaseMaker {
public:
    std::size_t below(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_); }
    std::string word(std::string_view alphabet, std::size_t size) {
        std::string out(size, ' ');
        for (char& c : out) c = alphabet[below(alphabet.size())];
        return out;
    }
    Case small() {  // up to 40 bytes over {a, b, *}, up to 6 secrets of up to 5 bytes
        Case made{word("ab*", below(41)), {}};
        for (std::size_t n = below(7); n > 0; --n) made.secrets.push_back(word("ab*", below(6)));
        return made;
    }
    Case planted(std::size_t size, std::size_t count) {  // runs of one byte, extensions of earlier secrets, '*'
        Case made{word(kPrintable, size), {}};
        for (std::size_t i = 0, shape = below(4); i < count; ++i, shape = below(4)) {
            made.secrets.push_back(shape == 0 ? std::string(1 + below(4), 'a')
                                   : shape == 1 && i
                                       ? made.secrets[below(i)] + word("xy*", 1 + below(3))
                                       : word(shape == 2 ? "ab*" : kPrintable, 2 + below(shape == 2 ? 4 : 38)));
        }
        for (std::size_t n = size / 64; n > 0; --n) {
            const std::string piece = made.secrets[below(count)] + (below(4) ? "" : made.secrets[below(count)]);
            if (piece.size() < size) made.output.replace(below(size - piece.size()), piece.size(), piece);
        }
        return made;
    }

private:
    static constexpr std::string_view kPrintable =
        " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
        "abcdefghijklmnopqrstuvwxyz{|}~\naaaa";
    std::mt19937_64 random_{424242};
};

class MaskReference : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CaseMaker maker;
        std::string many;
        for (int i = 0; i < 5000; ++i) many += i % 7 == 0 ? "xab" : "ab";
        const std::string huge = maker.word("ab", LiteralIndex::kMaxLiteralSize + 1);
        cases_ = {
            // Beside the random cases below: bytes that are not text; past a budget of masks a later secret
            // with '*' applied by the rule directly; beyond the index's limit a secret searched beside it.
            {std::string("\0\xff\0secret\0", 10), {std::string("\0s", 2)}},
            {many, {"b", "xa*", "a*"}},
            {many, {"b", "b*"}},
            {maker.word("abc", 3000) + huge + "c" + huge.substr(5) + huge, {"abc", huge, "ba", huge.substr(5)}},
        };
        for (int i = 0; i < 6000; ++i) cases_.push_back(maker.small());
        for (int i = 0; i < 18; ++i) {
            cases_.push_back(
                maker.planted(2000 + maker.below(i < 8 ? 60000 : 10000), 1 + maker.below(i < 8 ? 150 : 30)));
            cases_.back().forms = i >= 8;
        }
        std::string every_byte;
        for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
        Fields values = {every_byte, "p@ss w0rd/+=?&%", "correct horse battery staple"};
        for (int i = 0; i < 40; ++i) values.push_back(maker.word(every_byte, 8 + maker.below(41)));
        for (const std::string& value : values) {
            for (std::size_t lead = 0; lead < 9; ++lead) {
                encoded_.push_back({maker.word(every_byte, lead / 3), value, maker.word(every_byte, lead % 3)});
            }
        }

        // Records of the reference: a kind byte, a 4-byte little-endian field
        // count, then each field as a 4-byte little-endian length and its bytes.
        std::string input;
        const auto put = [&](char kind, const Fields& fields) {
            const auto u32 = [&](std::uint32_t n) { input.append(reinterpret_cast<const char*>(&n), 4); };
            input += kind;
            u32(fields.size());
            for (const std::string& field : fields) u32(field.size()), input += field;
        };
        for (Case& made : cases_) {
            Fields fields{made.output};
            fields.insert(fields.end(), made.secrets.begin(), made.secrets.end());
            for (const core::SecretValue& form :
                 made.forms ? encoded_forms(secrets_of(made.secrets)) : secrets_of({})) {
                fields.push_back(text_of(form));
                made.output.insert(maker.below(made.output.size()), text_of(form));
            }
            fields[0] = made.output;
            put('M', fields);
        }
        for (const Fields& e : encoded_) put('E', e);
        const testing::TempDir dir;
        testing::write_file(dir.path() / "cases", input);
        status_ = std::system((std::string(TARNEL_TEST_PYTHON) + " '" + TARNEL_SOURCE_DIR +
                               "/tests/interop/mask_reference.py' '" + (dir.path() / "cases").string() + "' '" +
                               (dir.path() / "results").string() + "'")
                                  .c_str());
        const std::string data = testing::read_file(dir.path() / "results");
        std::size_t at = 0;
        const auto u32 = [&] {  // little-endian, as this machine
            std::uint32_t n = 0;
            const std::string bytes = data.substr(at, 4);
            std::memcpy(&n, bytes.data(), bytes.size());
            return at += 4, n;
        };
        while (at < data.size() && data[at++] == 'R') {
            Fields& fields = results_.emplace_back(u32());
            for (std::string& field : fields) {
                const std::uint32_t size = u32();
                field = data.substr(at, size);
                at += size;
            }
        }
    }

    void SetUp() override {
        ASSERT_EQ(status_, 0);
        ASSERT_EQ(results_.size(), cases_.size() + encoded_.size());
    }

    static inline std::vector<Case> cases_;
    static inline std::vector<Fields> encoded_;  // lead, value, trail
    static inline int status_ = -1;
    static inline std::vector<Fields> results_;
};

// Each way a run of patterns can be searched: the Hyperscan index, plain
// search (as where Hyperscan cannot run), and the sequential rule once
// occurrences pile up; one masker serves a copy and then the text in place.
TEST_F(MaskReference, EveryPathMasksAsBytesReplaceDoes) {
    const std::pair<const char*, Masker::Options> paths[] = {
        {"index", {}},
        {"search", {.literal_index = false, .max_matches = 0}},
        {"fallback after 2", {.literal_index = true, .max_matches = 2}},
        {"fallback after 500", {.literal_index = true, .max_matches = 500}},
    };
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        const Case& made = cases_[i];
        const std::string& want = results_[i].at(0);
        const auto secrets = secrets_of(made.secrets);
        SCOPED_TRACE(::testing::Message() << "case " << i << ": [" << made.output.substr(0, 100) << "]");
        if (made.forms) {
            EXPECT_EQ(text_of(mask_output(bytes_of(made.output), secrets)), want);
            EXPECT_EQ(text_of(Masker::with_encoded_forms(secrets, paths[1].second).apply(bytes_of(made.output))), want);
            continue;
        }
        for (const auto& [path, options] : paths) {
            Masker masker = Masker::exact(secrets, options);
            EXPECT_EQ(text_of(masker.apply(bytes_of(made.output))), want) << path;
            EXPECT_EQ(text_of(masker.apply_owned(core::SecretValue::from_text(made.output)).joined()), want) << path;
        }
        if (HasFailure()) return;
    }
}

// Printed between two markers, an encoded secret leaves at most the
// characters that also carry the bytes around it in the encoded data: up to
// 3 before the mask, up to 6 after it ('=' padding included), none after it
// when nothing follows the secret.
TEST_F(MaskReference, EncodedSecretsAreMaskedAndTheirSurroundingsKept) {
    for (std::size_t i = 0; i < encoded_.size(); ++i) {
        const Fields& forms =
            results_[cases_.size() + i];  // base64 (padded, not), base64url (same), hex, HEX, %XX, %xx
        ASSERT_EQ(forms.size(), 8u);
        Masker masker = Masker::with_encoded_forms(secrets_of({encoded_[i][1]}));
        for (std::size_t f = 0; f < forms.size(); ++f) {
            SCOPED_TRACE(::testing::Message() << "form " << f << " of value " << i / 9 << ", lead "
                                              << encoded_[i][0].size() << ", trail " << encoded_[i][2].size());
            const std::string got = text_of(masker.apply(bytes_of("head>" + forms[f] + "<tail")));
            const std::size_t mask = got.find("***");
            ASSERT_TRUE(mask != std::string::npos && got.starts_with("head>") && got.ends_with("<tail")) << got;
            EXPECT_EQ(got.find("***", mask + 3), std::string::npos);
            const std::string before = got.substr(5, mask - 5), after = got.substr(mask + 3, got.size() - mask - 8);
            EXPECT_LE(before.size(), f < 4 ? 3u : 0u);
            EXPECT_LE(after.size(), f < 4 && !encoded_[i][2].empty() ? 6u : 0u);
            EXPECT_TRUE(forms[f].starts_with(before) && forms[f].ends_with(after));
        }
        if (HasFailure()) return;
    }
}

// Forms only of secrets of eight bytes or more, and of each such line of a
// multi-line secret.
TEST(EncodedForms, OfLongSecretsAndOfEachLongLine) {
    const auto masked = [](std::string_view output, std::string secret) {
        return text_of(mask_output(bytes_of(output), secrets_of({std::move(secret)})));
    };
    EXPECT_EQ(masked("3132333435363738 MTIzNDU2Nzg=", "12345678"), "*** ***");
    EXPECT_EQ(masked("31323334353637 MTIzNDU2Nw==", "1234567"), "31323334353637 MTIzNDU2Nw==");
    EXPECT_EQ(masked("A first line of it B\nC short D\r\nE second\rline F last-line",
                     "first line of it\r\nshort\nsecond\rline\n\nlast-line"),
              "A *** B\nC short D\r\nE *** F ***");
}

std::string verdict_word(const AllowVerdict& verdict) {
    if (const auto* refused = std::get_if<verdict::NotPermitted>(&verdict)) return "not-permitted:" + refused->name;
    return std::array{"admitted", "not-listed", "other-arguments", "", "not-sealed"}[verdict.index()];
}

// An agent that chooses an allowlisted program's arguments or environment
// ran its own code with the values (git aliases, GIT_CONFIG_*, PATH,
// LD_PRELOAD, BASH_ENV): an entry admits only what it names.
TEST(Allowlist, AnEntryAdmitsOnlyItsArgumentsAndItsVariables) {
    const TempDir dir;
    const fs::path git = dir.path() / "git";
    write_file(git, "#!/bin/sh\n");
    fs::create_symlink(git, dir.path() / "link");
    Allowlist allowlist;
    allowlist.allow(AllowEntry{fs::canonical(git), {"status"}, false, {"GIT_DIR"}});
    allowlist.allow(AllowEntry{fs::canonical(git), {"log"}, true, {}});
    // Guards: an entry matched any path resolving like the one it was sealed with.
    // An entry left naming a link (a hand-edited file the owner sealed):
    // repointing the link must not carry the entry to another program.
    fs::create_symlink("/bin/sh", dir.path() / "tool");
    allowlist.allow(AllowEntry{dir.path() / "tool", {}, true, {}});

    // clang-format off: one case a row
    const std::tuple<const char*, fs::path, std::vector<std::string>, std::vector<RunVariable>, std::string> cases[] = {
        {"exact arguments, through a link", dir.path() / "link", {"status"}, {}, "admitted"},
        {"a prefix and more", git, {"log", "-p", "x"}, {}, "admitted"},
        {"an alias defined on the command line", git, {"-c", "alias.x=!sh", "x"}, {}, "other-arguments"},
        {"another program", "/bin/sh", {"status"}, {}, "not-listed"},
        {"the target of a link an entry names", "/bin/sh", {}, {}, "not-listed"},
        {"a permitted literal", git, {"status"}, {{"GIT_DIR", false}}, "admitted"},
        {"git configuration from the environment", git, {"status"}, {{"GIT_CONFIG_COUNT", false}}, "not-permitted:GIT_CONFIG_COUNT"},
        {"a vault value under an ordinary name", git, {"log"}, {{"DB_PASSWORD", true}}, "admitted"},
        {"a vault value that steers the loader", git, {"log"}, {{"LD_PRELOAD", true}}, "not-permitted:LD_PRELOAD"},
    };
    // clang-format on
    for (const auto& [what, program, args, variables, expected] : cases) {
        EXPECT_EQ(verdict_word(allowlist.admits(program, args, variables)), expected) << what;
    }
}

// Guards: an allowlist planted as a link or a FIFO was followed or waited on.
TEST(Allowlist, OnlyAFileSealedWithTheVaultKeyAdmits) {
    const TempDir root;
    const fs::path list = root.path() / "allowlist";
    const auto key = key_of(1);
    const auto verdict_with = [&](const core::MasterKey& opening) {
        return verdict_word(Allowlist::under_root(root.path(), opening).admits("/bin/sh", {"-c", "true"}, {}));
    };
    EXPECT_EQ(verdict_with(key), "not-listed");  // no file: nothing listed
    ASSERT_TRUE(write_allowlist(root.path(), {AllowEntry{fs::canonical("/bin/sh"), {"-c"}, true, {}}}, key));
    EXPECT_EQ(testing::mode_of(list), 0600U);
    EXPECT_EQ(verdict_with(key), "admitted");
    EXPECT_EQ(verdict_with(key_of(2)), "not-sealed");
    const std::string sealed = read_file(list);

    // An agent widening the sealed entry ("-c" to any arguments), the earlier
    // form appended to by hand, a file that is no list.
    std::string widened = sealed;
    widened.replace(widened.find("\"arguments\":[\"-c\"]"), 18, "\"arguments\":[]");
    for (const std::string& text : {widened, std::string("/bin/sh\n"), std::string("{\"format\":1}")}) {
        write_file(list, text);
        EXPECT_EQ(verdict_with(key), "not-sealed") << text;
    }
    // The sealed file planted as a link to it, and a FIFO nobody writes.
    fs::remove(list);
    write_file(root.path() / "elsewhere", sealed);
    fs::create_symlink(root.path() / "elsewhere", list);
    EXPECT_NE(verdict_with(key), "admitted");
    fs::remove(list);
    ASSERT_EQ(::mkfifo(list.c_str(), 0600), 0);
    EXPECT_NE(verdict_with(key), "admitted");
}

}  // namespace
}  // namespace tarnel::wrapper
