// Writes seed inputs for the fuzz targets from records the store really
// writes: for each record kind its file (sealed under the fuzz key, so the
// record frame target can open it), its envelope and its plaintext JSON, plus
// coordinates in every accepted form and a few refused ones.
// Usage: tarnel_make_corpus <dir>; files go to <dir>/<target>/stored_<name>.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "core/codec/record_json.hpp"
#include "core/keys/crypto.hpp"
#include "core/store/store.hpp"
#include "fuzz_key.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tarnel::core;

SecretValue bytes(std::initializer_list<std::uint8_t> values) {
    return SecretValue(std::span(values.begin(), values.size()));
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

// The record file exactly as the store writes it, then what it holds. A seed
// that did not open under the fuzz key would leave the decoder unfuzzed.
bool write_sample(const std::string& name, std::string_view at, RecordKind kind, std::optional<std::string> description,
                  Sensitivity sensitivity, const fs::path& out, const fs::path& scratch, const MasterKey& key) {
    const auto coordinate = Coordinate::from_str(at);
    if (!coordinate) return false;
    const SecretRecord record{std::move(kind),
                              RecordMetadata{.sensitivity = sensitivity,
                                             .revealable = sensitivity <= Sensitivity::Medium,
                                             .environment = std::string(coordinate->environment().name()),
                                             .component = coordinate->component(),
                                             .key = coordinate->key(),
                                             .description = std::move(description),
                                             .created = "2026-01-02T03:04:05Z",
                                             .updated = "2026-02-03T04:05:06Z"}};
    const auto sealed = seal(record, key);
    const auto path = record_path(scratch, *coordinate);
    const auto json = encode_record(record);
    if (!sealed || !path || !json || !write_record(scratch, *coordinate, *sealed)) return false;
    std::ifstream in(*path, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto unframed = unframe(std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()));
    if (!unframed) return false;
    const auto opened = open_sealed(*unframed, key);
    if (!opened) return false;
    const auto again = encode_record(*opened);
    if (!again || again->expose_secret_chars() != json->expose_secret_chars()) return false;
    put(out / "record_frame", "stored_" + name, file);
    put(out / "sealed_json", "stored_" + name, std::string_view(file).substr(kRecordFrameHeaderBytes));
    put(out / "record_json", "stored_" + name, json->expose_secret_chars());
    return true;
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
    const bool ok =
        write_sample("literal", "secret:dev/app/db", LiteralRecord{bytes({0, 9, 10, 'p', 'w', 200, 255})},
                     "primary database", Sensitivity::Medium, out, scratch, key) &&
        write_sample("literal_empty", "secret:prod/app/empty", LiteralRecord{}, std::nullopt, Sensitivity::Low, out,
                     scratch, key) &&
        write_sample("reference", "secret:prod/api/token", ReferenceRecord{"aws-sm://eu-west-1/token"}, "was \"ref\"\n",
                     Sensitivity::InjectOnly, out, scratch, key) &&
        write_sample("keypair", "secret:dev/ssh/deploy",
                     KeypairRecord{KeyAlgorithm::Ed25519, bytes({1, 2, 3, 128}), "ssh-ed25519 AAAA"}, std::nullopt,
                     Sensitivity::High, out, scratch, key) &&
        write_sample("keypair_public", "secret:dev/ssh/key",
                     KeypairRecord{KeyAlgorithm::Rsa, std::nullopt, "ssh-rsa AAAA"}, std::nullopt, Sensitivity::Low,
                     out, scratch, key) &&
        write_sample("totp", "secret:dev/mail/otp", TotpRecord{bytes({25, 250, 0, 77}), TotpAlgorithm::Sha256, 8, 60},
                     "ünïcødé", Sensitivity::High, out, scratch, key);
    for (const auto& [name, text] : kCoordinates) put(out / "coordinate", "stored_" + std::string(name), text);
    fs::remove_all(scratch);
    if (!ok) std::fprintf(stderr, "could not write every record seed\n");
    return ok ? 0 : 1;
}
