// Writes seed inputs for the fuzz targets from records the store really
// writes: for each record kind its file (sealed under the fuzz key, so the
// record frame target can open it), its envelope and its plaintext JSON, plus
// coordinates in every accepted form and a few refused ones.
// Usage: tarnel_make_corpus <dir>; files go to <dir>/<target>/stored_<name>.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include "core/model/coordinate.hpp"
#include "core/keys/crypto.hpp"
#include "core/codec/record_json.hpp"
#include "core/store/store.hpp"
#include "fuzz_key.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tarnel::core;

struct Sample {
    std::string name;
    std::string coordinate;
    RecordKind kind;
    std::optional<std::string> description;
    Sensitivity sensitivity;
};

SecretValue bytes(std::initializer_list<std::uint8_t> values) {
    return SecretValue(std::span(values.begin(), values.size()));
}

std::vector<Sample> samples() {
    std::vector<Sample> all;
    all.push_back({"literal", "secret:dev/app/db", LiteralRecord{bytes({0, 9, 10, 'p', 'w', 200, 255})},
                   "primary database", Sensitivity::Medium});
    all.push_back({"literal_empty", "secret:prod/app/empty", LiteralRecord{}, std::nullopt, Sensitivity::Low});
    all.push_back({"reference", "secret:prod/api/token", ReferenceRecord{"aws-sm://eu-west-1/token"},
                   "was \"ref\"\n", Sensitivity::InjectOnly});
    all.push_back({"keypair", "secret:dev/ssh/deploy", KeypairRecord{KeyAlgorithm::Ed25519, bytes({1, 2, 3, 128}), "ssh-ed25519 AAAA"},
                   std::nullopt, Sensitivity::High});
    all.push_back({"keypair_public", "secret:dev/ssh/key", KeypairRecord{KeyAlgorithm::Rsa, std::nullopt, "ssh-rsa AAAA"},
                   std::nullopt, Sensitivity::Low});
    all.push_back({"totp", "secret:dev/mail/otp", TotpRecord{bytes({25, 250, 0, 77}), TotpAlgorithm::Sha256, 8, 60},
                   "ünïcødé", Sensitivity::High});
    return all;
}

// Every accepted form, the placeholder, non-ASCII text, and refusals at each step of the parser.
constexpr std::pair<std::string_view, std::string_view> kCoordinates[] = {
    {"plain", "secret:dev/app/db"},
    {"placeholder_private", "secret:${ENV}/app/db#private"},
    {"global_public", "secret://global/dev/ssh/deploy#public"},
    {"global_placeholder", "secret://global/${ENV}/db/password"},
    {"unicode", "secret:ünïcødé/服务/ключ"},
    {"punctuation", "secret:a b/c.d-e_f/$g{h}"},
    {"bad_fragment", "secret:dev/app/db#Public"},
    {"bad_scope", "secret://team/dev/app/db"},
    {"empty_segment", "secret:dev//db"},
    {"interpolated_key", "secret:dev/app/${X}"},
};

void put(const fs::path& dir, const std::string& name, std::string_view content) {
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

SecretRecord record_of(Sample& sample, const Coordinate& coordinate) {
    RecordMetadata meta;
    meta.sensitivity = sample.sensitivity;
    meta.revealable = sample.sensitivity <= Sensitivity::Medium;
    meta.environment = coordinate.environment().name();
    meta.component = coordinate.component();
    meta.key = coordinate.key();
    meta.description = sample.description;
    meta.created = "2026-01-02T03:04:05Z";
    meta.updated = "2026-02-03T04:05:06Z";
    return {std::move(sample.kind), std::move(meta)};
}

// A seed that did not open under the fuzz key would leave the decoder unfuzzed.
bool opens_to(std::string_view file, std::string_view json, const MasterKey& key) {
    const auto sealed = unframe(std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()));
    if (!sealed) return false;
    const auto opened = open_sealed(*sealed, key);
    if (!opened) return false;
    const auto again = encode_record(*opened);
    return again && again->expose_secret_chars() == json;
}

// The record file exactly as the store writes it, then what it holds.
bool write_sample(Sample& sample, const fs::path& out, const fs::path& scratch, const MasterKey& key) {
    const auto coordinate = Coordinate::from_str(sample.coordinate);
    if (!coordinate) return false;
    const SecretRecord record = record_of(sample, *coordinate);
    const auto sealed = seal(record, key);
    const auto path = record_path(scratch, *coordinate);
    if (!sealed || !path || !write_record(scratch, *coordinate, *sealed)) return false;
    const std::string file = slurp(*path);
    const auto json = encode_record(record);
    if (!json || !opens_to(file, json->expose_secret_chars(), key)) return false;
    put(out / "record_frame", "stored_" + sample.name, file);
    put(out / "sealed_json", "stored_" + sample.name, std::string_view(file).substr(kRecordFrameHeaderBytes));
    put(out / "record_json", "stored_" + sample.name, json->expose_secret_chars());
    return true;
}

void write_coordinates(const fs::path& out) {
    for (const auto& [name, text] : kCoordinates) put(out / "coordinate", "stored_" + std::string(name), text);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const fs::path out(argv[1]);
    const fs::path scratch = fs::temp_directory_path() / ("tarnel-corpus-" + std::to_string(::getpid()));
    const MasterKey key = tarnel::fuzz::fuzz_key();
    bool ok = true;
    for (Sample& sample : samples()) {
        if (!write_sample(sample, out, scratch, key)) {
            std::fprintf(stderr, "could not write the %s record\n", sample.name.c_str());
            ok = false;
        }
    }
    write_coordinates(out);
    fs::remove_all(scratch);
    return ok ? 0 : 1;
}
