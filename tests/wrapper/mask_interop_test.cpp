// Masking checked against Python: bytes.replace applied secret by secret,
// and the encodings of base64, binascii and urllib, computed in one child
// process for the whole suite.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "wrapper/mask_support.hpp"
#include "wrapper/sanitize.hpp"

namespace tarnel::wrapper {
namespace {

using testing::bytes_of;
using testing::CaseMaker;
using testing::MaskCase;
using testing::secrets_of;
using testing::TempDir;
using testing::text_of;

using Record = std::vector<std::string>;

void put_record(std::string& out, char kind, const Record& fields) {
    auto put_u32 = [&](std::size_t n) {
        for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((n >> shift) & 0xff);
    };
    out += kind;
    put_u32(fields.size());
    for (const std::string& field : fields) {
        put_u32(field.size());
        out += field;
    }
}

std::vector<Record> parse_results(const std::string& data) {
    std::size_t at = 0;
    auto u32 = [&] {
        std::uint32_t n = 0;
        for (int shift = 0; shift < 32; shift += 8) n |= std::uint32_t(static_cast<unsigned char>(data.at(at++))) << shift;
        return n;
    };
    std::vector<Record> records;
    while (at < data.size()) {
        if (data[at++] != 'R') return records;
        Record fields(u32());
        for (std::string& field : fields) {
            const std::uint32_t size = u32();
            field = data.substr(at, size);
            at += size;
        }
        records.push_back(std::move(fields));
    }
    return records;
}

struct Encoded {
    std::string lead, value, trail;
};

class PythonReference : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CaseMaker maker(424242);
        for (int i = 0; i < 3000; ++i) cases_.push_back(maker.small());
        for (int i = 0; i < 8; ++i) cases_.push_back(maker.planted(1000 + maker.below(100000), 1 + maker.below(120)));

        std::string every_byte;
        for (int b = 0; b < 256; ++b) every_byte += static_cast<char>(b);
        values_ = {every_byte, "p@ss w0rd/+=?&%", "correct horse battery staple"};
        for (int i = 0; i < 40; ++i) values_.push_back(maker.word(every_byte, 8 + maker.below(41)));
        for (const std::string& value : values_) {
            for (std::size_t lead = 0; lead < 3; ++lead) {
                for (std::size_t trail = 0; trail < 3; ++trail) {
                    encoded_.push_back({maker.word(every_byte, lead), value, maker.word(every_byte, trail)});
                }
            }
        }

        std::string input;
        for (const MaskCase& made : cases_) {
            Record fields{made.output};
            fields.insert(fields.end(), made.secrets.begin(), made.secrets.end());
            put_record(input, 'M', fields);
        }
        for (const Encoded& e : encoded_) put_record(input, 'E', {e.lead, e.value, e.trail});

        TempDir dir;
        testing::write_file(dir.path() / "cases", input);
        const std::string command = std::string(TARNEL_TEST_PYTHON) + " '" + TARNEL_SOURCE_DIR +
                                    "/tests/interop/mask_reference.py' '" + (dir.path() / "cases").string() + "' '" +
                                    (dir.path() / "results").string() + "'";
        status_ = std::system(command.c_str());
        results_ = parse_results(testing::read_file(dir.path() / "results"));
    }

    void SetUp() override {
        ASSERT_EQ(status_, 0);
        ASSERT_EQ(results_.size(), cases_.size() + encoded_.size());
    }

    static inline std::vector<MaskCase> cases_;
    static inline std::vector<std::string> values_;
    static inline std::vector<Encoded> encoded_;
    static inline int status_ = -1;
    static inline std::vector<Record> results_;
};

TEST_F(PythonReference, MaskSecretsIsBytesReplaceInOrder) {
    for (std::size_t i = 0; i < cases_.size(); ++i) {
        const MaskCase& made = cases_[i];
        ASSERT_EQ(results_[i].size(), 1u);
        EXPECT_EQ(text_of(mask_secrets(bytes_of(made.output), secrets_of(made.secrets))), results_[i][0])
            << "case " << i << ": [" << made.output.substr(0, 100) << "]";
        if (HasFailure()) return;
    }
}

// Printed between two markers, an encoded secret leaves at most the
// characters that also carry the bytes around it in the encoded data: up to
// 3 before the mask, up to 6 after it ('=' padding included).
TEST_F(PythonReference, EncodedSecretsAreMaskedAndTheirSurroundingsKept) {
    const char* kNames[] = {"base64", "base64 unpadded", "base64url", "base64url unpadded",
                            "hex", "HEX", "percent", "percent lower"};
    for (std::size_t i = 0; i < encoded_.size(); ++i) {
        const Encoded& e = encoded_[i];
        const Record& forms = results_[cases_.size() + i];
        ASSERT_EQ(forms.size(), 8u);
        Masker masker = Masker::with_encoded_forms(secrets_of({e.value}));
        for (std::size_t f = 0; f < forms.size(); ++f) {
            const std::string output = "head>" + forms[f] + "<tail";
            const std::string got = text_of(masker.apply(bytes_of(output)));
            const std::string where = std::string(kNames[f]) + " of value " + std::to_string(i / 9) + ", lead " +
                                      std::to_string(e.lead.size()) + ", trail " + std::to_string(e.trail.size());
            if (f >= 4) {
                EXPECT_EQ(got, "head>***<tail") << where;
                continue;
            }
            const std::size_t mask = got.find("***");
            ASSERT_NE(mask, std::string::npos) << where;
            EXPECT_EQ(got.find("***", mask + 3), std::string::npos) << where;
            ASSERT_TRUE(got.starts_with("head>") && got.ends_with("<tail")) << where;
            const std::string before = got.substr(5, mask - 5);
            const std::string after = got.substr(mask + 3, got.size() - 5 - mask - 3);
            EXPECT_LE(before.size(), 3u) << where;
            EXPECT_LE(after.size(), 6u) << where;
            EXPECT_TRUE(forms[f].starts_with(before) && forms[f].ends_with(after)) << where;
            if (e.trail.empty()) {
                EXPECT_TRUE(after.empty()) << where;
            }
        }
        if (HasFailure()) return;
    }
}

}  // namespace
}  // namespace tarnel::wrapper
