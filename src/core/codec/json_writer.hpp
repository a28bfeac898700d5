#pragma once

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <optional>
#include <string>
#include <string_view>

namespace tarnel::core::json {

// Compact JSON for the request and log files. Invalid UTF-8 makes a write
// fail instead of producing a file that strict readers reject.
using Writer = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::CrtAllocator,
                                 rapidjson::kWriteValidateEncodingFlag>;

inline bool key(Writer& writer, std::string_view name) {
    return writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
}

inline bool member(Writer& writer, std::string_view name, std::string_view value) {
    return key(writer, name) && writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

// For files a human-facing tool reads field by field: absent is null.
inline bool member_or_null(Writer& writer, std::string_view name, const std::optional<std::string>& value) {
    if (!value) return key(writer, name) && writer.Null();
    return member(writer, name, std::string_view(*value));
}

// For the audit log: absent members are left out.
inline bool member_if_present(Writer& writer, std::string_view name, const std::optional<std::string>& value) {
    return !value || member(writer, name, std::string_view(*value));
}

inline std::string text_of(const rapidjson::StringBuffer& buffer) {
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace tarnel::core::json
