#include "core/codec/record_json.hpp"

#include "core/codec/decimal_bytes.hpp"
#include "core/codec/utf8.hpp"

#include <rapidjson/reader.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnel::core {

namespace {

// g++ 12 has no <format>; error texts are short enough to build by hand.
std::string concat(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (auto part : parts) size += part.size();
    std::string text;
    text.reserve(size);
    for (auto part : parts) text.append(part);
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Encoding
//
// Hand-written rather than RapidJSON's Writer: the Writer escapes control
// characters with upper-case hex (\u001F), and records must come out byte for
// byte as the other tools sharing the vault write them (\u001f).

namespace {

// The escape letter for characters with a short form, 'u' for other control
// characters, 0 for characters written as they are.
constexpr std::array<char, 128> kEscapes = [] {
    std::array<char, 128> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    table['\b'] = 'b';
    table['\t'] = 't';
    table['\n'] = 'n';
    table['\f'] = 'f';
    table['\r'] = 'r';
    table['"'] = '"';
    table['\\'] = '\\';
    return table;
}();

char escape_of(char c) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x80 ? kEscapes[u] : 0;
}

// The quoted, escaped size of a text, or nullopt when it is not valid UTF-8.
std::optional<std::size_t> quoted_size(std::string_view text) noexcept {
    std::size_t size = 2;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            const char escape = kEscapes[c];
            size += escape == 0 ? 1 : escape == 'u' ? 6 : 2;
            ++i;
            continue;
        }
        const std::size_t length = utf8_sequence_length(text, i);
        if (length == 0) return std::nullopt;
        size += length;
        i += length;
    }
    return size;
}

// Decimal forms of 0..255: length, then the digits.
constexpr std::array<std::array<char, 4>, 256> kByteDigits = [] {
    std::array<std::array<char, 4>, 256> table{};
    for (int b = 0; b < 256; ++b) {
        auto& entry = table[b];
        if (b >= 100) {
            entry = {3, char('0' + b / 100), char('0' + b / 10 % 10), char('0' + b % 10)};
        } else if (b >= 10) {
            entry = {2, char('0' + b / 10), char('0' + b % 10), 0};
        } else {
            entry = {1, char('0' + b), 0, 0};
        }
    }
    return table;
}();

// Writes into a buffer sized up front, so secret bytes are never copied by a
// reallocation and no per-character capacity checks are needed.
class JsonWriter {
public:
    explicit JsonWriter(std::uint8_t* buffer) : begin_(buffer), cursor_(buffer) {}

    std::size_t written() const noexcept { return static_cast<std::size_t>(cursor_ - begin_); }

    void raw(std::string_view chars) noexcept {
        std::memcpy(cursor_, chars.data(), chars.size());
        cursor_ += chars.size();
    }
    void put(char c) noexcept { *cursor_++ = static_cast<std::uint8_t>(c); }

    // `,"name":` — the comma omitted before the first member.
    void member(std::string_view name) noexcept {
        put(first_ ? '{' : ',');
        first_ = false;
        put('"');
        raw(name);
        raw("\":");
    }
    void end_object() noexcept { put('}'); }

    void text(std::string_view chars) noexcept {
        static constexpr char kHex[] = "0123456789abcdef";
        put('"');
        std::size_t run = 0;
        for (std::size_t i = 0; i < chars.size(); ++i) {
            const char escape = escape_of(chars[i]);
            if (escape == 0) continue;
            raw(chars.substr(run, i - run));
            run = i + 1;
            put('\\');
            put(escape);
            if (escape == 'u') {
                const auto c = static_cast<unsigned char>(chars[i]);
                raw("00");
                put(kHex[c >> 4]);
                put(kHex[c & 0xF]);
            }
        }
        raw(chars.substr(run));
        put('"');
    }

    void bytes(std::span<const std::uint8_t> secret) noexcept {
        put('[');
        for (std::size_t i = 0; i < secret.size(); ++i) {
            if (i != 0) put(',');
            const auto& digits = kByteDigits[secret[i]];
            // Copying all three and advancing by the length avoids a branch per byte.
            std::memcpy(cursor_, digits.data() + 1, 3);
            cursor_ += digits[0];
        }
        put(']');
    }

    void number(std::uint8_t value) noexcept {
        const auto& digits = kByteDigits[value];
        raw(std::string_view(digits.data() + 1, static_cast<std::size_t>(digits[0])));
    }
    void boolean(bool value) noexcept { raw(value ? "true" : "false"); }

private:
    std::uint8_t* begin_;
    std::uint8_t* cursor_;
    bool first_ = true;
};

// Every text member of a record, for validation and sizing before writing.
template <class F>
void for_each_text(const SecretRecord& record, F&& f) {
    if (const auto* reference = std::get_if<ReferenceRecord>(&record.kind)) f("ref", reference->ref);
    if (const auto* keypair = std::get_if<KeypairRecord>(&record.kind)) f("public", keypair->public_key);
    const RecordMetadata& meta = record.meta;
    f("environment", meta.environment);
    f("component", meta.component);
    f("key", meta.key);
    if (meta.description) f("description", *meta.description);
    f("created", meta.created);
    f("updated", meta.updated);
}

std::size_t secret_array_size(const SecretValue& value) noexcept { return 2 + 4 * value.size(); }

// Member names, punctuation, words and small numbers of the longest record
// fit comfortably in this.
constexpr std::size_t kFixedPartBound = 512;

void write_kind(JsonWriter& out, const RecordKind& kind) {
    std::visit(
        [&](const auto& k) {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, LiteralRecord>) {
                out.member("value");
                out.bytes(k.value.expose_secret());
            } else if constexpr (std::is_same_v<K, ReferenceRecord>) {
                out.member("ref");
                out.text(k.ref);
            } else if constexpr (std::is_same_v<K, KeypairRecord>) {
                out.member("algorithm");
                out.text(key_algorithm_word(k.algorithm));
                if (k.private_key) {
                    out.member("private");
                    out.bytes(k.private_key->expose_secret());
                }
                out.member("public");
                out.text(k.public_key);
            } else {
                out.member("seed");
                out.bytes(k.seed.expose_secret());
                out.member("algorithm");
                out.text(totp_algorithm_word(k.algorithm));
                out.member("digits");
                out.number(k.digits);
                out.member("period");
                out.number(k.period);
            }
        },
        kind);
}

void write_metadata(JsonWriter& out, const RecordMetadata& meta) {
    out.member("sensitivity");
    out.text(sensitivity_word(meta.sensitivity));
    out.member("revealable");
    out.boolean(meta.revealable);
    out.member("environment");
    out.text(meta.environment);
    out.member("component");
    out.text(meta.component);
    out.member("key");
    out.text(meta.key);
    if (meta.description) {
        out.member("description");
        out.text(*meta.description);
    }
    out.member("created");
    out.text(meta.created);
    out.member("updated");
    out.text(meta.updated);
}

}  // namespace

Result<SecretValue> encode_record(const SecretRecord& record) {
    std::size_t bound = kFixedPartBound;
    std::string_view invalid_member;
    for_each_text(record, [&](std::string_view name, std::string_view text) {
        const auto size = quoted_size(text);
        if (!size && invalid_member.empty()) invalid_member = name;
        bound += size.value_or(0);
    });
    // Readers reject such text, so writing it would make the record unreadable.
    if (!invalid_member.empty()) {
        return fail(ErrorKind::Serialization, concat({"text member `", invalid_member, "` is not valid UTF-8"}));
    }
    std::visit(
        [&](const auto& k) {
            using K = std::decay_t<decltype(k)>;
            if constexpr (std::is_same_v<K, LiteralRecord>) {
                bound += secret_array_size(k.value);
            } else if constexpr (std::is_same_v<K, KeypairRecord>) {
                if (k.private_key) bound += secret_array_size(*k.private_key);
            } else if constexpr (std::is_same_v<K, TotpRecord>) {
                bound += secret_array_size(k.seed);
            }
        },
        record.kind);

    SecretValue json = SecretValue::zeroed(bound);
    JsonWriter out(json.expose_secret_mut().data());
    out.member("mode");
    out.text(record.tag_word());
    write_kind(out, record.kind);
    write_metadata(out, record.meta);
    out.end_object();
    json.truncate(out.written());
    return json;
}

// ---------------------------------------------------------------------------
// Decoding
//
// One pass of RapidJSON's SAX reader. "mode" may come after the members it
// governs, so until it is seen every known member is read into its slot and a
// failure is kept per kind that member belongs to; once the kind is known,
// failures of its own members end the parse at once and other kinds' members
// are skipped unread.

namespace {

using KindMask = std::uint8_t;
constexpr KindMask kLiteral = 1;
constexpr KindMask kReference = 2;
constexpr KindMask kKeypair = 4;
constexpr KindMask kTotp = 8;
constexpr KindMask kAnyKind = kLiteral | kReference | kKeypair | kTotp;

enum class Field : std::uint8_t {
    Mode,
    Value,
    Ref,
    Algorithm,
    Private,
    Public,
    Seed,
    Digits,
    Period,
    Sensitivity,
    Revealable,
    Environment,
    Component,
    Key,
    Description,
    Created,
    Updated,
};

struct FieldInfo {
    std::string_view name;
    KindMask belongs;           // kinds that have this member; for the others it is unknown
    KindMask required;          // kinds that fail without it
    std::string_view expected;  // the shape named in its type errors
};

// In write order, which is also the order missing members are reported in.
constexpr std::array<FieldInfo, 17> kFields{{
    {"mode", kAnyKind, kAnyKind, "a string"},
    {"value", kLiteral, kLiteral, "a sequence"},
    {"ref", kReference, kReference, "a string"},
    {"algorithm", kKeypair | kTotp, kKeypair, "a string"},
    {"private", kKeypair, 0, "a sequence"},
    {"public", kKeypair, kKeypair, "a string"},
    {"seed", kTotp, kTotp, "a sequence"},
    {"digits", kTotp, kTotp, "u8"},
    {"period", kTotp, kTotp, "u8"},
    {"sensitivity", kAnyKind, kAnyKind, "a string"},
    {"revealable", kAnyKind, 0, "a boolean"},
    {"environment", kAnyKind, kAnyKind, "a string"},
    {"component", kAnyKind, kAnyKind, "a string"},
    {"key", kAnyKind, kAnyKind, "a string"},
    {"description", kAnyKind, 0, "a string"},
    {"created", kAnyKind, kAnyKind, "a string"},
    {"updated", kAnyKind, kAnyKind, "a string"},
}};

constexpr const FieldInfo& info(Field field) noexcept { return kFields[std::to_underlying(field)]; }
constexpr std::uint32_t field_bit(Field field) noexcept { return 1u << std::to_underlying(field); }

// The candidates are template arguments so that every name compared is a
// constant in the function's own body: the comparisons stay constant-sized
// however the inliner treats the callers.
template <Field... Candidates>
std::optional<Field> match_key(std::string_view key) noexcept {
    for (Field field : {Candidates...}) {
        if (key == info(field).name) return field;
    }
    return std::nullopt;
}

// Called for every member of every record listed, so it dispatches on the
// length first; each comparison then has a constant size and compiles to a
// couple of loads instead of a memcmp call.
std::optional<Field> field_from_key(std::string_view key) noexcept {
    switch (key.size()) {
        case 3: return match_key<Field::Ref, Field::Key>(key);
        case 4: return match_key<Field::Mode, Field::Seed>(key);
        case 5: return match_key<Field::Value>(key);
        case 6: return match_key<Field::Public, Field::Digits, Field::Period>(key);
        case 7: return match_key<Field::Private, Field::Created, Field::Updated>(key);
        case 9: return match_key<Field::Algorithm, Field::Component>(key);
        case 10: return match_key<Field::Revealable>(key);
        case 11: return match_key<Field::Sensitivity, Field::Environment, Field::Description>(key);
        default: return std::nullopt;
    }
}

// Nesting deeper than this is refused before the recursive parser descends.
constexpr int kMaxDepth = 128;

std::string unknown_variant(std::string_view word, std::span<const std::string_view> expected) {
    std::string text = concat({"unknown variant `", word, "`, expected one of "});
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (i != 0) text += ", ";
        text.append("`").append(expected[i]).append("`");
    }
    return text;
}

// A scalar SAX event. Strings and floats are described without their content:
// either may be a secret written in the wrong shape.
struct Scalar {
    enum class Type : std::uint8_t { Null, Boolean, Unsigned, Signed, Float, String } type;
    bool boolean = false;
    std::uint64_t unsigned_value = 0;
    std::int64_t signed_value = 0;
    std::string_view text{};

    std::string describe() const {
        switch (type) {
            case Type::Null: return "null";
            case Type::Boolean: return boolean ? "boolean `true`" : "boolean `false`";
            case Type::Unsigned: return concat({"integer `", std::to_string(unsigned_value), "`"});
            case Type::Signed: return concat({"integer `", std::to_string(signed_value), "`"});
            case Type::Float: return "floating point";
            case Type::String: return "string";
        }
        return {};
    }
};

// RapidJSON decodes a lone low surrogate escape (\udc00) into the bytes of an
// encoded surrogate instead of failing; those bytes can only come from an escape
// because the raw input is validated as UTF-8. A plain loop rather than memchr:
// these strings are short and the call costs more than it saves.
bool has_escaped_surrogate(std::string_view text) noexcept {
    for (std::size_t at = 0; at + 1 < text.size(); ++at) {
        if (text[at] == '\xED' && static_cast<unsigned char>(text[at + 1]) >= 0xA0) return true;
    }
    return false;
}

// RapidJSON input over a span; it reads '\0' as the end, so the caller checks
// afterwards that the parse consumed everything.
class SpanStream {
public:
    using Ch = char;
    explicit SpanStream(std::span<const std::uint8_t> bytes)
        : begin_(reinterpret_cast<const char*>(bytes.data())), cursor_(begin_), end_(begin_ + bytes.size()) {}

    Ch Peek() const noexcept { return cursor_ == end_ ? '\0' : *cursor_; }
    Ch Take() noexcept { return cursor_ == end_ ? '\0' : *cursor_++; }
    std::size_t Tell() const noexcept { return static_cast<std::size_t>(cursor_ - begin_); }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - cursor_); }
    const char* current() const noexcept { return cursor_; }
    const char* end() const noexcept { return end_; }
    // For a handler that has read ahead itself; at lies between the cursor and the end.
    void skip_to(const char* at) noexcept { cursor_ = at; }

    // Only needed for in-situ parsing, which is never requested.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    std::size_t PutEnd(Ch*) { return 0; }

private:
    const char* begin_;
    const char* cursor_;
    const char* end_;
};

class RecordReader {
public:
    // Without canonical_bytes, every byte array goes through the per-element events.
    RecordReader(SpanStream& input, bool canonical_bytes) : input_(input), canonical_bytes_(canonical_bytes) {}

    // RapidJSON SAX handler interface.
    bool Null() { return scalar({Scalar::Type::Null}); }
    bool Bool(bool b) { return scalar({.type = Scalar::Type::Boolean, .boolean = b}); }
    bool Int(int i) { return Int64(i); }
    bool Uint(unsigned u) {
        // The hot path: an element of a byte array, into space sized beforehand.
        if (in_bytes_ && u <= 0xFF && byte_cursor_ != byte_end_) {
            *byte_cursor_++ = static_cast<std::uint8_t>(u);
            return true;
        }
        return Uint64(u);
    }
    bool Int64(std::int64_t i) { return scalar({.type = Scalar::Type::Signed, .signed_value = i}); }
    bool Uint64(std::uint64_t u) { return scalar({.type = Scalar::Type::Unsigned, .unsigned_value = u}); }
    bool Double(double) { return scalar({Scalar::Type::Float}); }
    // Only sent under kParseNumbersAsStringsFlag, which is never requested.
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return fatal("unexpected raw number"); }
    bool String(const char* chars, rapidjson::SizeType length, bool) {
        const std::string_view text(chars, length);
        if (has_escaped_surrogate(text)) return fatal("lone surrogate in hex escape");
        return scalar({.type = Scalar::Type::String, .text = text});
    }
    bool Key(const char* chars, rapidjson::SizeType length, bool);
    bool StartObject();
    bool EndObject(rapidjson::SizeType);
    bool StartArray();
    bool EndArray(rapidjson::SizeType);

    // The failure that stopped the parse, if the reader stopped it.
    std::optional<std::string>& stopped_with() noexcept { return fatal_; }
    Result<SecretRecord> finish();

private:
    std::optional<bool> open_nested(std::string_view what);
    bool scalar(const Scalar& value);
    bool member_scalar(const Scalar& value);
    bool byte_element(const Scalar& value);
    SecretValue* byte_slot(Field field);
    bool read_canonical_bytes(const char* at, const char* close);

    // One reader per member for its scalar values; arrays go through StartArray.
    using MemberReader = bool (RecordReader::*)(const Scalar&);
    struct MemberReaders {
        std::array<MemberReader, kFields.size()> by_field{};
        std::uint32_t filled = 0;  // field bits given a reader
    };
    static constexpr MemberReaders member_readers();
    bool read_mode(const Scalar& value);
    bool read_bytes(const Scalar& value);
    bool read_private(const Scalar& value);
    bool read_algorithm(const Scalar& value);
    bool read_sensitivity(const Scalar& value);
    bool read_revealable(const Scalar& value);
    bool read_description(const Scalar& value);
    template <auto Slot>
    bool read_u8(const Scalar& value);
    template <auto Slot>
    bool read_text(const Scalar& value);
    std::string& text_slot(std::string RecordReader::* slot) noexcept { return this->*slot; }
    std::string& text_slot(std::string RecordMetadata::* slot) noexcept { return meta_.*slot; }

    bool fatal(std::string text) {
        fatal_ = std::move(text);
        return false;
    }
    // A failure in a member belonging to `kinds`: fatal once the kind is known
    // and among them, otherwise held until "mode" says which kind applies.
    template <class MakeText>
    bool report(KindMask kinds, MakeText&& make_text) {
        kinds &= possible_;
        if (kinds == 0) return true;
        if (kind_) return fatal(make_text());
        std::string text = make_text();
        for (std::size_t k = 0; k < pending_.size(); ++k) {
            if ((kinds & (1u << k)) != 0 && pending_[k].empty()) pending_[k] = text;
        }
        return true;
    }
    bool type_error(std::string_view unexpected) {
        return report(info(current_).belongs,
                      [&] { return concat({"invalid type: ", unexpected, ", expected ", info(current_).expected}); });
    }
    // Drops the space sized for elements that never came.
    void finish_bytes() noexcept {
        in_bytes_ = false;
        bytes_->truncate(bytes_->size() - static_cast<std::size_t>(byte_end_ - byte_cursor_));
    }
    void skip_value(int depth) noexcept {
        skipping_ = true;
        value_depth_ = depth;
    }

    SpanStream& input_;
    const bool canonical_bytes_;

    // Parse position.
    int depth_ = 0;        // open containers, the root object included
    int value_depth_ = 0;  // open containers inside the current member's value
    bool skipping_ = false;
    bool in_bytes_ = false;
    Field current_ = Field::Mode;

    // What has been learnt.
    std::optional<std::size_t> kind_;  // index into tag_words() and RecordKind
    KindMask possible_ = kAnyKind;
    std::uint32_t seen_ = 0;
    std::array<std::string, 4> pending_;  // first held failure per kind
    std::optional<std::string> fatal_;

    // Member slots; those of kinds other than the final one are discarded.
    SecretValue value_;
    SecretValue seed_;
    std::optional<SecretValue> private_;
    SecretValue* bytes_ = nullptr;  // slot being filled by the current array
    std::uint8_t* byte_cursor_ = nullptr;
    std::uint8_t* byte_end_ = nullptr;
    std::string ref_;
    std::string public_;
    std::optional<KeyAlgorithm> key_algorithm_;
    TotpAlgorithm totp_algorithm_ = TotpAlgorithm::Sha1;
    std::uint8_t digits_ = 0;
    std::uint8_t period_ = 0;
    RecordMetadata meta_;
};

bool RecordReader::Key(const char* chars, rapidjson::SizeType length, bool) {
    if (depth_ != 1) return true;  // inside a skipped value
    const std::string_view key(chars, length);
    if (has_escaped_surrogate(key)) return fatal("lone surrogate in hex escape");
    skip_value(0);
    const auto field = field_from_key(key);
    if (!field) return true;
    const KindMask kinds = info(*field).belongs & possible_;
    if (kinds == 0) return true;
    if ((seen_ & field_bit(*field)) != 0) {
        return report(kinds, [&] { return concat({"duplicate field `", info(*field).name, "`"}); });
    }
    seen_ |= field_bit(*field);
    current_ = *field;
    skipping_ = false;
    return true;
}

// A container opening below the root: too deep, inside a skipped value, or
// an element of a byte array, each decided here; nothing when the member's
// own reader must look at it.
std::optional<bool> RecordReader::open_nested(std::string_view what) {
    if (++depth_ > kMaxDepth) return fatal("recursion limit exceeded");
    if (skipping_) {
        ++value_depth_;
        return true;
    }
    if (in_bytes_) {
        finish_bytes();
        skip_value(2);
        return report(info(current_).belongs, [&] { return concat({"invalid type: ", what, ", expected u8"}); });
    }
    return std::nullopt;
}

bool RecordReader::StartObject() {
    if (depth_ == 0) {
        depth_ = 1;
        return true;
    }
    if (auto handled = open_nested("map")) return *handled;
    skip_value(1);
    return type_error("map");
}

bool RecordReader::EndObject(rapidjson::SizeType) {
    --depth_;
    if (depth_ > 0 && skipping_ && --value_depth_ == 0) skipping_ = false;
    return true;
}

bool RecordReader::StartArray() {
    if (depth_ == 0) return fatal("invalid type: sequence, expected a record object");
    if (auto handled = open_nested("sequence")) return *handled;
    bytes_ = byte_slot(current_);
    if (bytes_ == nullptr) {
        skip_value(1);
        return type_error("sequence");
    }
    // Elements are separated by commas and cannot contain a bracket, so counting
    // the commas up to the first ']' bounds the element count: one allocation.
    // Should the bound ever fall short, byte_element() appends beyond it.
    const char* at = input_.current();
    const void* close = std::memchr(at, ']', input_.remaining());
    const char* end = close ? static_cast<const char*>(close) : at + input_.remaining();
    *bytes_ = SecretValue::zeroed(static_cast<std::size_t>(std::count(at, end, ',')) + 1);
    if (close != nullptr && canonical_bytes_ && read_canonical_bytes(at, static_cast<const char*>(close))) {
        return true;
    }
    byte_cursor_ = bytes_->expose_secret_mut().data();
    byte_end_ = byte_cursor_ + bytes_->size();
    in_bytes_ = true;
    value_depth_ = 1;
    return true;
}

bool RecordReader::EndArray(rapidjson::SizeType) {
    --depth_;
    if (skipping_) {
        if (--value_depth_ == 0) skipping_ = false;
    } else if (in_bytes_) {
        finish_bytes();
        value_depth_ = 0;
    }
    return true;
}

// The whole array at once when it is in the form encode_record writes, its
// elements between `at` and the first ']' at `close`. The stream then moves to
// the ']', so RapidJSON sees an empty array and its EndArray finds no array
// being read. Anything else consumes nothing and is read element by element,
// which alone decides values and error texts; it starts over in the slot,
// sized as it expects, overwriting whatever was decoded here.
bool RecordReader::read_canonical_bytes(const char* at, const char* close) {
    // Empty arrays are already cheap; the loads need bytes past the ']'.
    if (at == close || static_cast<std::size_t>(input_.end() - close) <= decimal_bytes::kReadPast) return false;
    std::size_t pos = 0;
    // Canonical entries each end in one of the commas counted for the slot's
    // size or the ']', so they fit it exactly.
    const auto count =
        decimal_bytes::read_to_close(reinterpret_cast<const std::uint8_t*>(at),
                                     static_cast<std::size_t>(close - at) + 1, pos, bytes_->expose_secret_mut().data());
    if (!count) return false;
    input_.skip_to(close);
    return true;
}

SecretValue* RecordReader::byte_slot(Field field) {
    switch (field) {
        case Field::Value: return &value_;
        case Field::Seed: return &seed_;
        case Field::Private: return &private_.emplace();
        default: return nullptr;
    }
}

bool RecordReader::scalar(const Scalar& value) {
    if (depth_ == 0) return fatal(concat({"invalid type: ", value.describe(), ", expected a record object"}));
    if (skipping_) {
        if (value_depth_ == 0) skipping_ = false;
        return true;
    }
    if (in_bytes_) return byte_element(value);
    return member_scalar(value);
}

bool RecordReader::byte_element(const Scalar& value) {
    if (value.type == Scalar::Type::Unsigned && value.unsigned_value <= 0xFF) {
        bytes_->push_back(static_cast<std::uint8_t>(value.unsigned_value));
        return true;
    }
    finish_bytes();
    skip_value(1);
    const bool integer = value.type == Scalar::Type::Unsigned || value.type == Scalar::Type::Signed;
    return report(info(current_).belongs, [&] {
        return concat({integer ? "invalid value: " : "invalid type: ", value.describe(), ", expected u8"});
    });
}

constexpr RecordReader::MemberReaders RecordReader::member_readers() {
    MemberReaders readers;
    auto set = [&readers](Field field, MemberReader reader) {
        readers.by_field[std::to_underlying(field)] = reader;
        readers.filled |= field_bit(field);
    };
    set(Field::Mode, &RecordReader::read_mode);
    set(Field::Value, &RecordReader::read_bytes);
    set(Field::Ref, &RecordReader::read_text<&RecordReader::ref_>);
    set(Field::Algorithm, &RecordReader::read_algorithm);
    set(Field::Private, &RecordReader::read_private);
    set(Field::Public, &RecordReader::read_text<&RecordReader::public_>);
    set(Field::Seed, &RecordReader::read_bytes);
    set(Field::Digits, &RecordReader::read_u8<&RecordReader::digits_>);
    set(Field::Period, &RecordReader::read_u8<&RecordReader::period_>);
    set(Field::Sensitivity, &RecordReader::read_sensitivity);
    set(Field::Revealable, &RecordReader::read_revealable);
    set(Field::Environment, &RecordReader::read_text<&RecordMetadata::environment>);
    set(Field::Component, &RecordReader::read_text<&RecordMetadata::component>);
    set(Field::Key, &RecordReader::read_text<&RecordMetadata::key>);
    set(Field::Description, &RecordReader::read_description);
    set(Field::Created, &RecordReader::read_text<&RecordMetadata::created>);
    set(Field::Updated, &RecordReader::read_text<&RecordMetadata::updated>);
    return readers;
}

bool RecordReader::member_scalar(const Scalar& value) {
    static constexpr MemberReaders kReaders = member_readers();
    static_assert(kReaders.filled == (1u << kFields.size()) - 1, "every field needs a reader");
    return (this->*kReaders.by_field[std::to_underlying(current_)])(value);
}

// Nothing can be held without a kind to hold it for, so a bad "mode" ends the parse.
bool RecordReader::read_mode(const Scalar& value) {
    if (value.type != Scalar::Type::String) {
        return fatal(concat({"invalid type: ", value.describe(), ", expected a string"}));
    }
    const auto words = tag_words();
    const auto found = std::ranges::find(words, value.text);
    if (found == words.end()) return fatal(unknown_variant(value.text, words));
    const auto kind = static_cast<std::size_t>(found - words.begin());
    kind_ = kind;
    possible_ = static_cast<KindMask>(1u << kind);
    if (!pending_[kind].empty()) return fatal(std::move(pending_[kind]));
    return true;
}

// A byte member given a scalar; its arrays never come here.
bool RecordReader::read_bytes(const Scalar& value) { return type_error(value.describe()); }

bool RecordReader::read_private(const Scalar& value) {
    if (value.type == Scalar::Type::Null) return true;  // an explicit null is absent
    return read_bytes(value);
}

// The same member name carries a different enumeration per kind, so the word
// is judged against each kind that is still possible.
bool RecordReader::read_algorithm(const Scalar& value) {
    if (value.type != Scalar::Type::String) return type_error(value.describe());
    const std::string_view word = value.text;
    if (const auto key = key_algorithm_from_word(word)) {
        key_algorithm_ = *key;
    } else if (!report(kKeypair, [&] { return unknown_variant(word, key_algorithm_words()); })) {
        return false;
    }
    if (const auto totp = totp_algorithm_from_word(word)) {
        totp_algorithm_ = *totp;
        return true;
    }
    return report(kTotp, [&] { return unknown_variant(word, totp_algorithm_words()); });
}

bool RecordReader::read_sensitivity(const Scalar& value) {
    if (value.type != Scalar::Type::String) return type_error(value.describe());
    const auto level = sensitivity_from_word(value.text);
    if (!level) return report(kAnyKind, [&] { return unknown_variant(value.text, sensitivity_words()); });
    meta_.sensitivity = *level;
    return true;
}

bool RecordReader::read_revealable(const Scalar& value) {
    if (value.type != Scalar::Type::Boolean) return type_error(value.describe());
    meta_.revealable = value.boolean;
    return true;
}

bool RecordReader::read_description(const Scalar& value) {
    if (value.type == Scalar::Type::Null) return true;  // an explicit null is absent
    if (value.type != Scalar::Type::String) return type_error(value.describe());
    meta_.description.emplace(value.text);
    return true;
}

// Integers out of range are value errors; anything else is a type error.
template <auto Slot>
bool RecordReader::read_u8(const Scalar& value) {
    using Type = Scalar::Type;
    if (value.type == Type::Unsigned && value.unsigned_value <= 0xFF) {
        this->*Slot = static_cast<std::uint8_t>(value.unsigned_value);
        return true;
    }
    if (value.type != Type::Unsigned && value.type != Type::Signed) return type_error(value.describe());
    return report(kTotp, [&] { return concat({"invalid value: ", value.describe(), ", expected u8"}); });
}

template <auto Slot>
bool RecordReader::read_text(const Scalar& value) {
    if (value.type != Scalar::Type::String) return type_error(value.describe());
    text_slot(Slot).assign(value.text);
    return true;
}

Result<SecretRecord> RecordReader::finish() {
    if (!kind_) return fail(ErrorKind::Serialization, "missing field `mode`");
    const std::size_t kind = *kind_;
    if (!pending_[kind].empty()) return fail(ErrorKind::Serialization, std::move(pending_[kind]));
    for (std::size_t i = 1; i < kFields.size(); ++i) {
        if ((kFields[i].required & possible_) != 0 && (seen_ & (1u << i)) == 0) {
            return fail(ErrorKind::Serialization, concat({"missing field `", kFields[i].name, "`"}));
        }
    }
    SecretRecord record{LiteralRecord{}, std::move(meta_)};
    switch (kind) {
        case 0: record.kind = LiteralRecord{std::move(value_)}; break;
        case 1: record.kind = ReferenceRecord{std::move(ref_)}; break;
        case 2: record.kind = KeypairRecord{*key_algorithm_, std::move(private_), std::move(public_)}; break;
        default: record.kind = TotpRecord{std::move(seed_), totp_algorithm_, digits_, period_}; break;
    }
    return record;
}

std::string_view syntax_problem(rapidjson::ParseErrorCode code, std::span<const std::uint8_t> json,
                                std::size_t offset) {
    using namespace rapidjson;
    if (offset >= json.size() && code != kParseErrorDocumentRootNotSingular) return "unexpected end of input";
    switch (code) {
        case kParseErrorDocumentEmpty: return "unexpected end of input";
        case kParseErrorDocumentRootNotSingular: return "trailing characters";
        case kParseErrorValueInvalid: return "expected value";
        case kParseErrorObjectMissName: return "key must be a string";
        case kParseErrorObjectMissColon: return "expected `:`";
        case kParseErrorObjectMissCommaOrCurlyBracket: return "expected `,` or `}`";
        case kParseErrorArrayMissCommaOrSquareBracket: return "expected `,` or `]`";
        case kParseErrorStringUnicodeEscapeInvalidHex: return "invalid hex escape";
        case kParseErrorStringUnicodeSurrogateInvalid: return "lone surrogate in hex escape";
        // RapidJSON reports raw control characters with the escape codes.
        case kParseErrorStringEscapeInvalid:
        case kParseErrorStringMissQuotationMark:
            return json[offset] < 0x20 ? "control character (\\u0000-\\u001F) found while parsing a string"
                                       : "invalid escape";
        case kParseErrorStringInvalidEncoding: return "invalid UTF-8 in string";
        case kParseErrorNumberTooBig: return "number out of range";
        case kParseErrorNumberMissFraction:
        case kParseErrorNumberMissExponent: return "invalid number";
        default: return "syntax error";
    }
}

// The problem and where it is; never the input around it, which may be secret.
std::string syntax_error(rapidjson::ParseErrorCode code, std::span<const std::uint8_t> json, std::size_t offset) {
    offset = std::min(offset, json.size());
    const auto before = json.first(offset);
    const auto line = 1 + std::count(before.begin(), before.end(), std::uint8_t{'\n'});
    const auto line_start = std::find(before.rbegin(), before.rend(), std::uint8_t{'\n'});
    const auto column = 1 + (line_start - before.rbegin());
    return concat(
        {syntax_problem(code, json, offset), " at line ", std::to_string(line), " column ", std::to_string(column)});
}

}  // namespace

namespace {

Result<SecretRecord> decode(std::span<const std::uint8_t> json, bool canonical_bytes) {
    // The reader's scratch stack holds keys and strings while they are unescaped;
    // a small pool on our stack keeps typical records free of heap traffic.
    alignas(std::max_align_t) char pool[1024];
    rapidjson::MemoryPoolAllocator<> allocator(pool, sizeof pool, 4096);
    rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>> reader(&allocator,
                                                                                                            256);

    SpanStream input(json);
    RecordReader record(input, canonical_bytes);
    const rapidjson::ParseResult parsed = reader.Parse<rapidjson::kParseValidateEncodingFlag>(input, record);
    if (auto& stopped = record.stopped_with()) return fail(ErrorKind::Serialization, std::move(*stopped));
    if (parsed.IsError()) return fail(ErrorKind::Serialization, syntax_error(parsed.Code(), json, parsed.Offset()));
    // A NUL byte reads as the end of input to RapidJSON.
    if (input.Tell() != json.size()) {
        return fail(ErrorKind::Serialization,
                    syntax_error(rapidjson::kParseErrorDocumentRootNotSingular, json, input.Tell()));
    }
    return record.finish();
}

}  // namespace

Result<SecretRecord> decode_record(std::span<const std::uint8_t> json) { return decode(json, true); }

Result<SecretRecord> decode_record_strict(std::span<const std::uint8_t> json) { return decode(json, false); }

}  // namespace tarnel::core
