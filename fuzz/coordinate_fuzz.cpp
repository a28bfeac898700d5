// libFuzzer target for coordinate text: a parsed coordinate prints back the
// very text it came from and parses again to itself; its segments are non-empty
// and free of the separators; and it is storable, under a storage id of 64
// lower-case hex digits naming its canonical path, unless its environment is
// the ${ENV} placeholder, which only the not-storable error answers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/model/coordinate.hpp"
#include "core/base/digest.hpp"

namespace {

using tarnel::core::Coordinate;
using tarnel::core::ErrorKind;
using tarnel::core::Result;

void check(bool holds) {
    if (!holds) std::abort();
}

bool plain_segment(std::string_view segment) {
    return !segment.empty() && segment.find_first_of("/#") == std::string_view::npos &&
           segment.find("${") == std::string_view::npos;
}

bool lower_hex(std::string_view text) {
    return std::ranges::all_of(text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

void check_segments(const Coordinate& coordinate) {
    check(coordinate.environment().is_placeholder() || plain_segment(coordinate.environment().name()));
    check(plain_segment(coordinate.component()));
    check(plain_segment(coordinate.key()));
}

void check_round_trip(const Coordinate& coordinate, std::string_view text) {
    check(coordinate.to_string() == text);
    const Result<Coordinate> again = Coordinate::from_str(text);
    check(again && *again == coordinate);
}

// Storable under the canonical path and a storage id of 64 lower-case hex
// digits naming it, or, for the placeholder, only the not-storable error.
void check_storage(const Coordinate& coordinate) {
    const Result<std::string> path = coordinate.canonical_path();
    const Result<std::string> id = coordinate.storage_id();
    if (coordinate.environment().is_placeholder()) {
        check(!path && path.error().kind() == ErrorKind::NotStorable && !id && id.error() == path.error());
        return;
    }
    check(path && *path == std::string(coordinate.environment().name()) + "/" + coordinate.component() + "/" +
                               coordinate.key());
    check(id && id->size() == 64 && lower_hex(*id) && *id == tarnel::core::blake3_hex(*path));
}

// Resolving the placeholder makes any coordinate storable and touches nothing else.
void check_with_env(const Coordinate& coordinate) {
    const Coordinate resolved = coordinate.with_env("fuzz");
    check(resolved.component() == coordinate.component() && resolved.key() == coordinate.key());
    check(resolved.is_global() == coordinate.is_global() && resolved.fragment() == coordinate.fragment());
    const bool placeholder = coordinate.environment().is_placeholder();
    check(placeholder ? resolved.environment() == tarnel::core::EnvSegment::concrete("fuzz") : resolved == coordinate);
    check_storage(resolved);
    check_round_trip(resolved, resolved.to_string());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Result<Coordinate> coordinate = Coordinate::from_str(text);
    if (!coordinate) {
        check(coordinate.error().kind() == ErrorKind::InvalidCoordinate);
        return 0;
    }
    check_segments(*coordinate);
    check_round_trip(*coordinate, text);
    check_storage(*coordinate);
    check_with_env(*coordinate);
    return 0;
}
