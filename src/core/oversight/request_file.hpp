#pragma once

// Reading the request files other processes drop under the vault root
// (pending confirmations, intakes). Anyone who can write there can plant a
// file, so each is read without following links, within a size cap, and
// parsed strictly; a bad one is reported by name and hides no other.

#include <rapidjson/fwd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/oversight/audit.hpp"
#include "core/oversight/request_id.hpp"
#include "core/base/error.hpp"
#include "core/model/sensitivity.hpp"

namespace tarnel::core {

// A request holds at most a few texts of 64 KiB, escaped.
inline constexpr std::size_t kMaxRequestFileBytes = 1024 * 1024;

// A file under a request name that could not be read as a request.
struct UnreadableRequest {
    std::string id;
    std::string reason;
};

// The identifiers of the ID.json files in dir, in byte order; other names
// (temporaries, decisions, strays) are passed over. None for a missing dir.
Result<std::vector<RequestId>> list_request_ids(const std::filesystem::path& dir);

// The requests of one directory; a file under a request name that did not
// read as a request is listed apart.
template <class Request>
struct RequestListing {
    std::vector<Request> requests;
    std::vector<UnreadableRequest> unreadable;
    // Listed, then removed: nobody was waiting for them any more.
    std::size_t abandoned = 0;
};

// Every request that `find` (ID -> Result<optional<Request>>) reads from dir,
// oldest first by `created_unix`.
template <class Request, class Find>
Result<RequestListing<Request>> collect_requests(const std::filesystem::path& dir, const Find& find) {
    auto ids = list_request_ids(dir);
    if (!ids) return fail(std::move(ids.error()));
    RequestListing<Request> listing;
    for (const RequestId& id : *ids) {
        auto found = find(id);
        if (!found) {
            listing.unreadable.push_back(UnreadableRequest{id.text(), found.error().display()});
        } else if (*found) {
            listing.requests.push_back(std::move(**found));
        }
    }
    std::stable_sort(listing.requests.begin(), listing.requests.end(),
                     [](const Request& a, const Request& b) { return a.created_unix < b.created_unix; });
    return listing;
}

// dir/ID.json parsed, or nothing when there is no such file. The identifier
// must be a request identifier; the file must be a regular file holding one
// JSON object, valid UTF-8, with no duplicate members in the objects a
// request nests. Errors are of the Format kind.
Result<std::optional<rapidjson::Document>> read_request_file(const std::filesystem::path& dir, const RequestId& id);
// The two halves of read_request_file: the file's bytes as read, and their
// strict parse, for a reader that must check the very bytes it parses.
Result<std::optional<std::string>> read_request_text(const std::filesystem::path& dir, const RequestId& id);
Result<rapidjson::Document> parse_request_text(std::string_view text);

// Members of a parsed request; each fails with "`{name}` must be ..." when
// the member is missing or of another type.
Result<std::string> text_member(const rapidjson::Value& object, std::string_view name);
Result<std::optional<std::string>> optional_text_member(const rapidjson::Value& object, std::string_view name);
Result<std::uint64_t> unsigned_member(const rapidjson::Value& object, std::string_view name);
Result<bool> bool_member(const rapidjson::Value& object, std::string_view name);
// The stored words: "agent" or "human"; "low" ... "inject-only".
Result<Actor> actor_member(const rapidjson::Value& object, std::string_view name);
Result<Sensitivity> sensitivity_member(const rapidjson::Value& object, std::string_view name);
Result<const rapidjson::Value*> object_member(const rapidjson::Value& object, std::string_view name);
// The member itself, or nothing when it is absent or null.
const rapidjson::Value* nullable_member(const rapidjson::Value& object, std::string_view name);

}  // namespace tarnel::core
