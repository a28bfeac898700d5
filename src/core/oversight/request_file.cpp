#include "core/oversight/request_file.hpp"

#include <rapidjson/document.h>

#include <fcntl.h>

#include <algorithm>
#include <set>

#include "core/store/dir_listing.hpp"
#include "core/store/fs.hpp"
#include "core/oversight/request_id.hpp"

namespace tarnel::core {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSuffix = ".json";

std::optional<RequestId> id_of_name(std::string_view name) {
    if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) return std::nullopt;
    name.remove_suffix(kSuffix.size());
    return RequestId::parse(name);
}

// Requests nest a few levels deep (a run's variables); a planted file must not recurse further.
constexpr int kMaxDepth = 6;

// RapidJSON keeps both members of a duplicated name; its names are already
// unescaped, so "a\u0062" and "ab" compare equal here.
std::optional<std::string> duplicate_member(const rapidjson::Value& value, int depth = 0) {
    if (depth > kMaxDepth) return std::nullopt;
    if (value.IsArray()) {
        for (const auto& element : value.GetArray()) {
            if (auto found = duplicate_member(element, depth + 1)) return found;
        }
        return std::nullopt;
    }
    if (!value.IsObject()) return std::nullopt;
    std::set<std::string_view> seen;
    for (const auto& member : value.GetObject()) {
        const std::string_view name(member.name.GetString(), member.name.GetStringLength());
        if (!seen.insert(name).second) return std::string(name);
        if (auto found = duplicate_member(member.value, depth + 1)) return found;
    }
    return std::nullopt;
}

const rapidjson::Value* find_member(const rapidjson::Value& object, std::string_view name) {
    const auto it = object.FindMember(rapidjson::Value(rapidjson::StringRef(name.data(), name.size())));
    return it == object.MemberEnd() ? nullptr : &it->value;
}

std::unexpected<CoreError> member_error(std::string_view name, std::string_view what) {
    return fail(ErrorKind::Format, "`" + std::string(name) + "` must be " + std::string(what));
}

}  // namespace

Result<std::vector<RequestId>> list_request_ids(const fs::path& dir) {
    auto listed =
        list_dir(dir, [](int, const dirent& entry) -> Result<bool> { return id_of_name(entry.d_name).has_value(); });
    if (!listed) return fail(std::move(listed.error()));
    std::vector<RequestId> ids;
    if (!*listed) return ids;
    for (const std::string& name : (*listed)->names) ids.push_back(*id_of_name(name));
    std::sort(ids.begin(), ids.end(), [](const RequestId& a, const RequestId& b) { return a.text() < b.text(); });
    return ids;
}

Result<std::optional<std::string>> read_request_text(const fs::path& dir, const RequestId& id) {
    std::vector<std::uint8_t> bytes;
    std::size_t size = 0;
    const fs::path path = dir / id.file_name(kSuffix);
    if (const auto failed = read_regular_file(AT_FDCWD, path.c_str(), kMaxRequestFileBytes, 0, bytes, size)) {
        if (failed->kind == FileReadError::Kind::Absent) return std::optional<std::string>();
        return fail(ErrorKind::Format, failed->text(kMaxRequestFileBytes));
    }
    return std::optional<std::string>(std::string(reinterpret_cast<const char*>(bytes.data()), size));
}

Result<rapidjson::Document> parse_request_text(std::string_view text) {
    rapidjson::Document document;
    // Iterative: a file of nested brackets cannot exhaust the stack.
    constexpr unsigned kFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
    document.Parse<kFlags>(text.data(), text.size());
    if (document.HasParseError()) return fail(ErrorKind::Format, "not valid JSON");
    if (!document.IsObject()) return fail(ErrorKind::Format, "not a JSON object");
    if (auto name = duplicate_member(document)) return fail(ErrorKind::Format, "duplicate member `" + *name + "`");
    return document;
}

Result<std::optional<rapidjson::Document>> read_request_file(const fs::path& dir, const RequestId& id) {
    auto text = read_request_text(dir, id);
    if (!text) return fail(std::move(text.error()));
    if (!*text) return std::optional<rapidjson::Document>();
    auto document = parse_request_text(**text);
    if (!document) return fail(std::move(document.error()));
    return std::optional<rapidjson::Document>(std::move(*document));
}

Result<std::string> text_member(const rapidjson::Value& object, std::string_view name) {
    const auto* value = find_member(object, name);
    if (value == nullptr || !value->IsString()) return member_error(name, "a string");
    return std::string(value->GetString(), value->GetStringLength());
}

Result<std::optional<std::string>> optional_text_member(const rapidjson::Value& object, std::string_view name) {
    const auto* value = find_member(object, name);
    if (value != nullptr && value->IsNull()) return std::optional<std::string>();
    if (value == nullptr || !value->IsString()) return member_error(name, "a string or null");
    return std::optional<std::string>(std::string(value->GetString(), value->GetStringLength()));
}

Result<std::uint64_t> unsigned_member(const rapidjson::Value& object, std::string_view name) {
    const auto* value = find_member(object, name);
    if (value == nullptr || !value->IsUint64()) return member_error(name, "an unsigned integer");
    return value->GetUint64();
}

Result<bool> bool_member(const rapidjson::Value& object, std::string_view name) {
    const auto* value = find_member(object, name);
    if (value == nullptr || !value->IsBool()) return member_error(name, "true or false");
    return value->GetBool();
}

Result<Actor> actor_member(const rapidjson::Value& object, std::string_view name) {
    auto word = text_member(object, name);
    if (word && *word == "agent") return Actor::Agent;
    if (word && *word == "human") return Actor::Human;
    return member_error(name, "\"agent\" or \"human\"");
}

Result<Sensitivity> sensitivity_member(const rapidjson::Value& object, std::string_view name) {
    auto word = text_member(object, name);
    if (!word) return fail(std::move(word.error()));
    if (const auto level = sensitivity_from_word(*word)) return *level;
    return member_error(name, "low, medium, high or inject-only");
}

Result<const rapidjson::Value*> object_member(const rapidjson::Value& object, std::string_view name) {
    const auto* value = find_member(object, name);
    if (value == nullptr || !value->IsObject()) return member_error(name, "an object");
    return value;
}

const rapidjson::Value* nullable_member(const rapidjson::Value& object, std::string_view name) {
    const auto* value = find_member(object, name);
    return value == nullptr || value->IsNull() ? nullptr : value;
}

}  // namespace tarnel::core
