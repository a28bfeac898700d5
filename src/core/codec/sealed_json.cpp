#include "core/codec/sealed_json.hpp"

#include "core/codec/decimal_bytes.hpp"

#include <rapidjson/writer.h>
#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace tarnel::core {

namespace {

std::unexpected<CoreError> serialization(std::string detail) {
    return fail(ErrorKind::Serialization, std::move(detail));
}

// Lets RapidJSON's Writer append straight to the caller's buffer.
struct StringOutput {
    using Ch = char;
    std::string& out;
    void Put(char c) { out.push_back(c); }
    void Flush() {}
};

void write_bytes(rapidjson::Writer<StringOutput>& writer, std::string_view name, std::span<const std::uint8_t> bytes) {
    writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
    writer.StartArray();
    for (const std::uint8_t byte : bytes) writer.Uint(byte);
    writer.EndArray(static_cast<rapidjson::SizeType>(bytes.size()));
}

// The envelope reader: simdjson's on-demand API over the file buffer, which
// the caller pads, so nothing is copied. On-demand parsing keeps duplicate
// members and passes over unread values without checking them, so duplicates
// are caught here and skipped members are walked through in full.
namespace od = simdjson::ondemand;

static_assert(kSealedJsonPadding >= simdjson::SIMDJSON_PADDING);

// Deeper nesting in a skipped member is refused rather than walked.
constexpr int kMaxDepth = 128;
// A parser keeps buffers sized for the largest input it has read; past this
// size a parser of its own is used, so a stray huge file is not kept in memory.
constexpr std::size_t kReusedParserLimit = 64 * 1024;

class SealedReader {
public:
    SealedReader(std::span<const std::uint8_t> json, od::document& doc) : json_(json), doc_(doc) {}

    // Fills out or returns the error text.
    std::optional<std::string> read(SealedRecord& out) {
        od::object object;
        if (const auto error = doc_.get_object().get(object)) return type_problem(doc_, error, "struct SealedRecord");
        for (auto member : object) {
            std::string_view name;
            if (const auto error = member.unescaped_key().get(name)) return syntax(error);
            od::value value;
            if (const auto error = member.value().get(value)) return syntax(error);
            std::optional<std::string> problem;
            if (name == "nonce") {
                problem = read_member("nonce", seen_nonce_, value, out.nonce, kNonceBytes);
            } else if (name == "ciphertext") {
                // Every entry takes at least two characters ("0,"): no reallocation.
                problem = read_member("ciphertext", seen_ciphertext_, value, out.ciphertext, json_.size() / 2 + 1);
            } else if (const auto error = check_value(value, 1)) {
                return syntax(error);
            }
            if (problem) return problem;
        }
        if (!seen_nonce_) return "missing field `nonce`";
        if (!seen_ciphertext_) return "missing field `ciphertext`";
        // At the end of the input the location is an error: there is nothing left.
        const char* rest = nullptr;
        if (doc_.current_location().get(rest) == simdjson::SUCCESS) {
            return "trailing characters at offset " + std::to_string(offset_of(rest));
        }
        return std::nullopt;
    }

private:
    std::optional<std::string> read_member(std::string_view name, bool& seen, od::value value,
                                           std::vector<std::uint8_t>& target, std::size_t expected) {
        if (seen) return "duplicate field `" + std::string(name) + "`";
        seen = true;
        od::array array;
        if (const auto error = value.get_array().get(array)) return type_problem(value, error, "a sequence of bytes");
        target.reserve(expected);
        for (auto entry : array) {
            std::uint64_t byte = 0;
            const auto error = entry.get_uint64().get(byte);
            if (error == simdjson::SUCCESS && byte <= 255) {
                target.push_back(static_cast<std::uint8_t>(byte));
                continue;
            }
            if (error == simdjson::SUCCESS) return out_of_range(std::to_string(byte));
            // A failed read leaves the entry unread, so it can be looked at again.
            od::value element;
            if (const auto entry_error = entry.get(element)) return syntax(entry_error);
            if (auto problem = not_unsigned(element, target)) return problem;
        }
        return std::nullopt;
    }

    // The rare entries that are not plain unsigned integers; "-0" is a zero.
    std::optional<std::string> not_unsigned(od::value element, std::vector<std::uint8_t>& target) {
        std::int64_t integer = 0;
        if (element.get_int64().get(integer) == simdjson::SUCCESS) {
            if (integer != 0) return out_of_range(std::to_string(integer));
            target.push_back(0);
            return std::nullopt;
        }
        return type_problem(element, simdjson::INCORRECT_TYPE, "u8");
    }

    static std::string out_of_range(const std::string& integer) {
        return "invalid value: integer `" + integer + "`, expected u8";
    }

    // Why a value is not what was expected: the type it has, or the syntax
    // error that kept it from being read.
    template <class Value>
    std::string type_problem(Value& value, simdjson::error_code error, std::string_view expected) {
        if (error != simdjson::INCORRECT_TYPE) return syntax(error);
        od::json_type type{};
        if (const auto type_error = value.type().get(type)) return syntax(type_error);
        std::string what;
        switch (type) {
            case od::json_type::object: what = "map"; break;
            case od::json_type::array: what = "sequence"; break;
            case od::json_type::string: what = "string"; break;
            case od::json_type::null: what = "null"; break;
            case od::json_type::boolean: {
                bool flag = false;
                if (const auto bool_error = value.get_bool().get(flag)) return syntax(bool_error);
                what = flag ? "boolean `true`" : "boolean `false`";
                break;
            }
            case od::json_type::number: {
                double number = 0;
                if (const auto number_error = value.get_double().get(number)) return syntax(number_error);
                what = "floating point";
                break;
            }
        }
        return "invalid type: " + what + ", expected " + std::string(expected);
    }

    // Reads a skipped value through, so it must be well-formed JSON too.
    static simdjson::error_code check_value(od::value value, int depth) {
        od::json_type type{};
        SIMDJSON_TRY(value.type().get(type));
        switch (type) {
            case od::json_type::object: {
                if (depth == kMaxDepth) return simdjson::DEPTH_ERROR;
                od::object object;
                SIMDJSON_TRY(value.get_object().get(object));
                for (auto member : object) {
                    std::string_view name;
                    SIMDJSON_TRY(member.unescaped_key().get(name));
                    od::value inner;
                    SIMDJSON_TRY(member.value().get(inner));
                    SIMDJSON_TRY(check_value(inner, depth + 1));
                }
                return simdjson::SUCCESS;
            }
            case od::json_type::array: {
                if (depth == kMaxDepth) return simdjson::DEPTH_ERROR;
                od::array array;
                SIMDJSON_TRY(value.get_array().get(array));
                for (auto entry : array) {
                    od::value inner;
                    SIMDJSON_TRY(entry.get(inner));
                    SIMDJSON_TRY(check_value(inner, depth + 1));
                }
                return simdjson::SUCCESS;
            }
            case od::json_type::number: return value.get_number().error();
            case od::json_type::string: return value.get_string().error();
            case od::json_type::boolean: return value.get_bool().error();
            case od::json_type::null: {
                bool null = false;
                SIMDJSON_TRY(value.is_null().get(null));
                return null ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
            }
        }
        return simdjson::TAPE_ERROR;
    }

    std::string syntax(simdjson::error_code error) {
        std::string text = simdjson::error_message(error);
        const char* at = nullptr;
        if (doc_.current_location().get(at) == simdjson::SUCCESS) text += " at offset " + std::to_string(offset_of(at));
        return text;
    }

    std::size_t offset_of(const char* at) const noexcept {
        const auto* begin = reinterpret_cast<const char*>(json_.data());
        return static_cast<std::size_t>(std::clamp(at, begin, begin + json_.size()) - begin);
    }

    std::span<const std::uint8_t> json_;
    od::document& doc_;
    bool seen_nonce_ = false;
    bool seen_ciphertext_ = false;
};

// The fast path: only the exact bytes append_sealed_json writes,
// {"nonce":[d,...],"ciphertext":[d,...]} with no whitespace and every entry a
// canonical decimal 0 to 255. Anything else is left to the strict reader, so
// this needs no error texts of its own and only has to be right when it accepts.
constexpr std::string_view kNonceOpen = R"({"nonce":[)";
constexpr std::string_view kCiphertextOpen = R"(,"ciphertext":[)";
constexpr std::string_view kClose = "}";

// The runs below read entries with four-byte loads that start at or before
// the end of the input, so they stay within the padding, and write to out
// only entries that lie wholly inside the input. They take raw pointers and
// locals: stores through a byte pointer may alias anything, and would make
// the compiler reload members on every entry.
using decimal_bytes::canonical_entry;
using decimal_bytes::CanonicalEntry;
using decimal_bytes::read_to_close;
static_assert(kSealedJsonPadding >= decimal_bytes::kReadPast);

// Entries from pos (at most split) until one ends with the ',' at split; pos ends past it.
std::optional<std::size_t> read_to_split(const std::uint8_t* data, std::size_t split, std::size_t& pos,
                                         std::uint8_t* out) noexcept {
    std::size_t at = pos;
    std::size_t count = 0;
    for (;;) {
        const CanonicalEntry entry = canonical_entry(data + at);
        if (!entry.canonical || entry.terminator != ',' || entry.digits > split - at) return std::nullopt;
        out[count++] = static_cast<std::uint8_t>(entry.value);
        at += entry.digits + 1;
        if (at > split) break;
    }
    pos = at;
    return count;
}

// Arrays shorter than this are read in one run.
constexpr std::size_t kHalvesFrom = 64;

// A ',' just after the middle of the array from pos to end, where a long
// array can be cut in two; every canonical entry is at most three digits.
std::optional<std::size_t> find_split(const std::uint8_t* data, std::size_t end, std::size_t pos) noexcept {
    if (end < pos + kHalvesFrom) return std::nullopt;
    const std::size_t middle = pos + (end - pos) / 2;
    for (std::size_t at = middle; at < middle + 4; ++at) {
        if (data[at] == ',') return at;
    }
    return std::nullopt;
}

// Reads a long array as two halves cut at split, both at once: each entry's
// start depends on the one before, and two independent runs keep the core
// busy while each waits on its own chain. The halves must both be canonical,
// the first ending exactly at split, so the result is the one-run result.
// out needs room for (size - pos) / 2 + 2 entries.
std::optional<std::size_t> read_halves(const std::uint8_t* data, std::size_t size, std::size_t& pos, std::size_t split,
                                       std::uint8_t* out) noexcept {
    std::size_t first_at = pos;
    std::size_t second_at = split + 1;
    // Every entry takes at least two characters, so the halves' outputs cannot meet.
    std::uint8_t* const second = out + (split + 1 - pos) / 2 + 1;
    std::size_t first_count = 0;
    std::size_t second_count = 0;
    for (;;) {
        const CanonicalEntry x = canonical_entry(data + first_at);
        const CanonicalEntry y = canonical_entry(data + second_at);
        // Together while neither run is at its last entry; those are left to the single runs.
        const bool both = x.canonical & (x.terminator == ',') & (x.digits < split - first_at) & y.canonical &
                          (y.terminator == ',') & (y.digits < size - second_at);
        if (!both) break;
        out[first_count++] = static_cast<std::uint8_t>(x.value);
        second[second_count++] = static_cast<std::uint8_t>(y.value);
        first_at += x.digits + 1;
        second_at += y.digits + 1;
    }
    const std::optional<std::size_t> first_rest = read_to_split(data, split, first_at, out + first_count);
    if (!first_rest) return std::nullopt;
    const std::optional<std::size_t> second_rest = read_to_close(data, size, second_at, second + second_count);
    if (!second_rest) return std::nullopt;
    first_count += *first_rest;
    second_count += *second_rest;
    std::memmove(out + first_count, second, second_count);
    pos = second_at;
    return first_count + second_count;
}

class CanonicalReader {
public:
    explicit CanonicalReader(std::span<const std::uint8_t> json) noexcept : json_(json) {}

    bool literal(std::string_view text) noexcept {
        if (json_.size() - pos_ < text.size() || std::memcmp(json_.data() + pos_, text.data(), text.size()) != 0) {
            return false;
        }
        pos_ += text.size();
        return true;
    }

    // Reads the entries after '[' up to and including ']' into the start of
    // out, which must hold at least entry_bound() bytes; their count, or nothing.
    std::optional<std::size_t> entries(std::span<std::uint8_t> out) noexcept {
        if (pos_ < json_.size() && json_[pos_] == ']') {
            ++pos_;
            return 0;
        }
        return read_to_close(json_.data(), json_.size(), pos_, out.data());
    }

    // entries() for the array that ends the input, whose ']' can only be the
    // next-to-last byte: knowing where it ends, a long one is read in halves.
    std::optional<std::size_t> last_entries(std::span<std::uint8_t> out) noexcept {
        const std::uint8_t* const data = json_.data();
        const std::size_t size = json_.size();
        if (size < 2 || pos_ >= size - 2 || data[pos_] == ']') return entries(out);
        if (const std::optional<std::size_t> split = find_split(data, size - 2, pos_)) {
            return read_halves(data, size, pos_, *split, out.data());
        }
        return read_to_close(data, size, pos_, out.data());
    }

    // Every entry takes at least two characters, its digits and a ',' or ']';
    // read_halves rounds up each half.
    std::size_t entry_bound() const noexcept { return (json_.size() - pos_) / 2 + 2; }
    bool at_end() const noexcept { return pos_ == json_.size(); }

private:
    std::span<const std::uint8_t> json_;
    std::size_t pos_ = 0;
};

// The envelope is not secret, so the parser's buffers may keep what it read.
od::parser& reused_parser() {
    thread_local od::parser parser;
    return parser;
}

}  // namespace

void append_sealed_json(const SealedRecord& sealed, std::string& out) {
    // Up to four characters per byte plus the fixed members.
    out.reserve(out.size() + 4 * (sealed.nonce.size() + sealed.ciphertext.size()) + 32);
    StringOutput stream{out};
    rapidjson::Writer<StringOutput> writer(stream);
    writer.StartObject();
    write_bytes(writer, "nonce", sealed.nonce);
    write_bytes(writer, "ciphertext", sealed.ciphertext);
    writer.EndObject();
}

std::string sealed_to_json(const SealedRecord& sealed) {
    std::string out;
    append_sealed_json(sealed, out);
    return out;
}

std::optional<SealedRecord> fast_sealed_from_padded_json(std::span<const std::uint8_t> json) {
    CanonicalReader reader(json);
    if (!reader.literal(kNonceOpen)) return std::nullopt;
    // Both arrays are read into one buffer sized for the rest of the input:
    // the nonce first, copied out, then the ciphertext, which keeps it.
    std::vector<std::uint8_t> buffer(reader.entry_bound());
    const std::optional<std::size_t> nonce = reader.entries(buffer);
    if (!nonce || !reader.literal(kCiphertextOpen)) return std::nullopt;
    SealedRecord sealed;
    sealed.nonce.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*nonce));
    const std::optional<std::size_t> ciphertext = reader.last_entries(buffer);
    if (!ciphertext || !reader.literal(kClose) || !reader.at_end()) return std::nullopt;
    buffer.resize(*ciphertext);
    sealed.ciphertext = std::move(buffer);
    return sealed;
}

Result<SealedRecord> sealed_from_padded_json_strict(std::span<const std::uint8_t> json) {
    od::parser own_parser;
    od::parser& parser = json.size() <= kReusedParserLimit ? reused_parser() : own_parser;
    od::document doc;
    if (const auto error = parser.iterate(json.data(), json.size(), json.size() + kSealedJsonPadding).get(doc)) {
        return serialization(simdjson::error_message(error));
    }
    SealedRecord sealed;
    if (std::optional<std::string> problem = SealedReader(json, doc).read(sealed)) {
        return serialization(std::move(*problem));
    }
    return sealed;
}

Result<SealedRecord> sealed_from_padded_json(std::span<const std::uint8_t> json) {
    if (std::optional<SealedRecord> sealed = fast_sealed_from_padded_json(json)) return std::move(*sealed);
    return sealed_from_padded_json_strict(json);
}

Result<SealedRecord> sealed_from_json(std::span<const std::uint8_t> json) {
    std::vector<std::uint8_t> padded(json.size() + kSealedJsonPadding);
    std::copy(json.begin(), json.end(), padded.begin());
    return sealed_from_padded_json(std::span(padded).first(json.size()));
}

}  // namespace tarnel::core
