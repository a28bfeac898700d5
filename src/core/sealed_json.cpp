#include "core/sealed_json.hpp"

#include <rapidjson/writer.h>
#include <simdjson.h>

#include <algorithm>
#include <optional>
#include <string_view>

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

void write_bytes(rapidjson::Writer<StringOutput>& writer, std::string_view name,
                 std::span<const std::uint8_t> bytes) {
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

Result<SealedRecord> sealed_from_padded_json(std::span<const std::uint8_t> json) {
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

Result<SealedRecord> sealed_from_json(std::span<const std::uint8_t> json) {
    std::vector<std::uint8_t> padded(json.size() + kSealedJsonPadding);
    std::copy(json.begin(), json.end(), padded.begin());
    return sealed_from_padded_json(std::span(padded).first(json.size()));
}

}  // namespace tarnel::core
