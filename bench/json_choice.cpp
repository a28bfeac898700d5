// Which JSON readers to use for a record file's two layers, measured in this
// run on this machine; prints microseconds per parse and each as a ratio to ours.
//
// The envelope {"nonce":[...],"ciphertext":[...]} is not secret and is nearly
// all small integers: ours (a decoder for exactly the form our writer emits,
// falling back to simdjson on-demand over the padded file buffer, strict),
// the strict reader alone, and bare readers of the same two arrays that check
// nothing.
//
// The record plaintext: ours (RapidJSON SAX with duplicate, type and range
// checks, byte arrays in our writer's form read in one run; also without
// that shortcut) against an nlohmann/json DOM parse and a simdjson on-demand
// walk that read the same members into the same kinds of holders. Plaintext stays
// with RapidJSON although simdjson walks it faster: simdjson keeps unescaped
// strings in its parser's buffer and copies the input's last partial 64-byte
// block to the stack, neither of which is ever wiped.

#include "core/keys/crypto.hpp"
#include "core/codec/record_json.hpp"
#include "core/codec/sealed_json.hpp"

#include <nlohmann/json.hpp>
#include <rapidjson/reader.h>
#include <simdjson.h>
#include <sodium.h>
#include <sys/utsname.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using tarnel::core::SecretValue;

namespace {

// What each contender fills: the literal record's members.
struct Members {
    std::string mode;
    SecretValue value;
    std::string sensitivity;
    bool revealable = false;
    std::string environment, component, key, description, created, updated;

    std::size_t weight() const { return mode.size() + value.size() + environment.size() + updated.size(); }
};

std::string* text_member(Members& out, std::string_view name) {
    if (name == "mode") return &out.mode;
    if (name == "sensitivity") return &out.sensitivity;
    if (name == "environment") return &out.environment;
    if (name == "component") return &out.component;
    if (name == "key") return &out.key;
    if (name == "description") return &out.description;
    if (name == "created") return &out.created;
    if (name == "updated") return &out.updated;
    return nullptr;
}

template <auto Decode = tarnel::core::decode_record>
std::size_t parse_ours(std::span<const std::uint8_t> json) {
    auto record = Decode(json);
    if (!record) {
        std::fprintf(stderr, "decode failed: %s\n", record.error().display().c_str());
        std::exit(1);
    }
    return std::get<tarnel::core::LiteralRecord>(record->kind).value.size() + record->meta.updated.size();
}

std::size_t parse_nlohmann(std::span<const std::uint8_t> json) {
    const auto doc = nlohmann::json::parse(json.begin(), json.end());
    Members out;
    for (const auto& [name, member] : doc.items()) {
        if (name == "value") {
            out.value.reserve(member.size());
            for (const auto& byte : member) out.value.push_back(byte.get<std::uint8_t>());
        } else if (name == "revealable") {
            out.revealable = member.get<bool>();
        } else if (std::string* text = text_member(out, name)) {
            *text = member.get_ref<const std::string&>();
        }
    }
    return out.weight();
}

std::size_t parse_simdjson(simdjson::ondemand::parser& parser, const simdjson::padded_string& json) {
    Members out;
    auto doc = parser.iterate(json);
    for (auto field : doc.get_object()) {
        std::string_view name = field.unescaped_key().value();
        if (name == "value") {
            for (auto element : field.value().get_array()) {
                const std::uint64_t byte = element.get_uint64().value();
                out.value.push_back(static_cast<std::uint8_t>(byte));
            }
        } else if (name == "revealable") {
            out.revealable = field.value().get_bool().value();
        } else if (std::string* text = text_member(out, name)) {
            *text = std::string_view(field.value().get_string().value());
        }
    }
    return out.weight();
}

struct Contender {
    const char* label;
    std::function<std::size_t()> parse;
    int iterations = 1;
    std::vector<double> rounds{};  // mean microseconds per call
};

// Rounds of ~10 ms run in turn across the contenders, so load from elsewhere on
// the machine hits all of them alike; each one's median round is its time.
std::vector<double> measure(std::vector<Contender>& contenders) {
    using Clock = std::chrono::steady_clock;
    std::size_t sink = 0;
    auto run = [&](Contender& c) {
        const auto start = Clock::now();
        for (int i = 0; i < c.iterations; ++i) sink += c.parse();
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    };
    for (auto& c : contenders) {
        while (run(c) < 10'000) c.iterations *= 2;
    }
    for (int round = 0; round < 15; ++round) {
        for (auto& c : contenders) c.rounds.push_back(run(c) / c.iterations);
    }
    if (sink == 0) std::puts("");  // keeps the work observable
    std::vector<double> medians;
    for (auto& c : contenders) {
        std::nth_element(c.rounds.begin(), c.rounds.begin() + c.rounds.size() / 2, c.rounds.end());
        medians.push_back(c.rounds[c.rounds.size() / 2]);
    }
    return medians;
}

// The least any RapidJSON reader of the envelope does: route integers to the
// array named by the last key; no duplicate, type or range checks.
struct BareSealedHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, BareSealedHandler> {
    tarnel::core::SealedRecord sealed;
    std::vector<std::uint8_t>* target = nullptr;
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        const std::string_view name(text, length);
        target = name == "nonce" ? &sealed.nonce : name == "ciphertext" ? &sealed.ciphertext : nullptr;
        return true;
    }
    bool Uint(unsigned value) {
        if (target != nullptr) target->push_back(static_cast<std::uint8_t>(value));
        return true;
    }
};

std::size_t parse_envelope_rapidjson(std::string_view json) {
    BareSealedHandler handler;
    handler.sealed.ciphertext.reserve(json.size() / 2);
    rapidjson::StringStream stream(json.data());  // the std::string keeps a NUL after it
    rapidjson::Reader reader;
    if (reader.Parse(stream, handler).IsError()) std::exit(1);
    return handler.sealed.ciphertext.size();
}

std::size_t parse_envelope_dom(simdjson::dom::parser& parser, const simdjson::padded_string& json) {
    tarnel::core::SealedRecord sealed;
    sealed.ciphertext.reserve(json.size() / 2);
    const simdjson::dom::element root = parser.parse(json).value();
    const simdjson::dom::object object = root.get_object().value();
    for (const auto [name, value] : object) {
        auto* target = name == "nonce" ? &sealed.nonce : name == "ciphertext" ? &sealed.ciphertext : nullptr;
        if (target == nullptr) continue;
        const simdjson::dom::array array = value.get_array().value();
        for (const simdjson::dom::element byte : array) {
            target->push_back(static_cast<std::uint8_t>(byte.get_uint64().value()));
        }
    }
    return sealed.ciphertext.size();
}

std::size_t parse_envelope_ours(std::span<const std::uint8_t> padded_json) {
    auto sealed = tarnel::core::sealed_from_padded_json(padded_json);
    if (!sealed) std::exit(1);
    return sealed->ciphertext.size();
}

SecretValue literal_json(std::size_t value_size) {
    SecretValue value = SecretValue::zeroed(value_size);
    randombytes_buf(value.expose_secret_mut().data(), value_size);
    tarnel::core::SecretRecord record{tarnel::core::LiteralRecord{std::move(value)},
                                      {.sensitivity = tarnel::core::Sensitivity::Medium,
                                       .revealable = true,
                                       .environment = "prod",
                                       .component = "payments",
                                       .key = "stripe_secret_key",
                                       .description = "live key for the checkout service",
                                       .created = "2024-05-01T10:00:00Z",
                                       .updated = "2024-05-02T11:00:00Z"}};
    auto json = tarnel::core::encode_record(record);
    if (!json) std::exit(1);
    return std::move(*json);
}

void print_machine() {
    utsname name{};
    ::uname(&name);
    std::string cpu = "unknown";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.starts_with("model name")) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    std::printf("machine: %s %s %s; cpu: %s; compiler: g++ %s\n", name.sysname, name.release, name.machine, cpu.c_str(),
                __VERSION__);
}

void print_table(const char* title, const std::vector<Contender>& contenders, const std::vector<double>& us) {
    std::printf("\n%s\n", title);
    std::printf("  %-44s %8s %10s\n", "reader", "us/parse", "vs ours");
    for (std::size_t i = 0; i < contenders.size(); ++i) {
        std::printf("  %-44s %8.2f %9.2fx\n", contenders[i].label, us[i], us[i] / us[0]);
    }
}

// The envelope of a sealed literal record, as a record file carries it.
void compare_envelope(std::size_t value_size) {
    std::array<std::uint8_t, tarnel::core::MasterKey::kSize> key_bytes{};
    key_bytes.fill(0x5a);
    const tarnel::core::MasterKey key(key_bytes);
    const SecretValue plaintext = literal_json(value_size);
    auto sealed = tarnel::core::seal_bytes(plaintext.expose_secret(), key);
    if (!sealed) std::exit(1);
    const std::string json = tarnel::core::sealed_to_json(*sealed);
    std::string padded_buffer = json;
    padded_buffer.append(tarnel::core::kSealedJsonPadding, ' ');
    const std::span<const std::uint8_t> padded(reinterpret_cast<const std::uint8_t*>(padded_buffer.data()),
                                               json.size());
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
    const simdjson::padded_string padded_string(json);
    simdjson::dom::parser dom_parser;

    std::vector<Contender> contenders{
        {"ours: exact form first, else strict", [&] { return parse_envelope_ours(padded); }},
        {"strict alone: simdjson on-demand, in place",
         [&] { return tarnel::core::sealed_from_padded_json_strict(padded)->ciphertext.size(); }},
        {"ours, copying into a padded buffer first",
         [&] { return tarnel::core::sealed_from_json(bytes)->ciphertext.size(); }},
        {"RapidJSON SAX, bare (no checks)", [&] { return parse_envelope_rapidjson(json); }},
        {"simdjson DOM, bare (no checks)", [&] { return parse_envelope_dom(dom_parser, padded_string); }},
    };
    const std::vector<double> us = measure(contenders);
    const std::string title = "sealed envelope of a literal record with a " + std::to_string(value_size) +
                              "-byte value, " + std::to_string(sealed->ciphertext.size()) + " bytes sealed, " +
                              std::to_string(json.size()) + " bytes of JSON";
    print_table(title.c_str(), contenders, us);
}

void compare(std::size_t value_size) {
    const SecretValue json = literal_json(value_size);
    const auto bytes = json.expose_secret();
    const std::string_view chars = json.expose_secret_chars();
    const simdjson::padded_string padded(chars);
    simdjson::ondemand::parser parser;

    std::vector<Contender> contenders{
        {"ours: RapidJSON SAX, strict", [&] { return parse_ours(bytes); }},
        {"ours, byte arrays element by element", [&] { return parse_ours<tarnel::core::decode_record_strict>(bytes); }},
        {"nlohmann/json DOM + member walk", [&] { return parse_nlohmann(bytes); }},
        {"simdjson on-demand (pre-padded input)", [&] { return parse_simdjson(parser, padded); }},
        {"simdjson on-demand + copy to padding",
         [&] {
             const simdjson::padded_string copy(chars);  // the plaintext arrives without padding
             return parse_simdjson(parser, copy);
         }},
    };
    const std::vector<double> us = measure(contenders);

    const std::string title = "record plaintext: literal record, " + std::to_string(value_size) + "-byte value, " +
                              std::to_string(bytes.size()) + " bytes of JSON";
    print_table(title.c_str(), contenders, us);
}

}  // namespace

int main() {
    if (sodium_init() < 0) return 1;
    print_machine();
    std::printf("simdjson implementation: %s\n", simdjson::get_active_implementation()->name().c_str());
    compare_envelope(64);
    compare_envelope(1000);
    compare(1000);
    compare(64);
    std::puts(
        "\nOnly our readers reject duplicate members; the others keep the last (nlohmann) or all (simdjson, "
        "RapidJSON).");
    return 0;
}
