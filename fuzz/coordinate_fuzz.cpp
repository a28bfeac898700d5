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
    const std::string printed = coordinate.to_string();
    check(printed == text);
    const Result<Coordinate> again = Coordinate::from_str(printed);
    check(again && *again == coordinate);
}

void check_not_storable(const Coordinate& coordinate) {
    const Result<std::string> path = coordinate.canonical_path();
    const Result<std::string> id = coordinate.storage_id();
    check(!path && path.error().kind() == ErrorKind::NotStorable);
    check(!id && id.error() == path.error());
}

void check_storable(const Coordinate& coordinate) {
    const Result<std::string> path = coordinate.canonical_path();
    check(path && *path == std::string(coordinate.environment().name()) + "/" + coordinate.component() + "/" +
                               coordinate.key());
    const Result<std::string> id = coordinate.storage_id();
    check(id && id->size() == 64 && lower_hex(*id) && *id == tarnel::core::blake3_hex(*path));
}

// Resolving the placeholder makes any coordinate storable and touches nothing else.
void check_with_env(const Coordinate& coordinate) {
    const Coordinate resolved = coordinate.with_env("fuzz");
    check(resolved.component() == coordinate.component() && resolved.key() == coordinate.key());
    check(resolved.is_global() == coordinate.is_global() && resolved.fragment() == coordinate.fragment());
    if (coordinate.environment().is_placeholder()) {
        check(resolved.environment() == tarnel::core::EnvSegment::concrete("fuzz"));
    } else {
        check(resolved == coordinate);
    }
    check_storable(resolved);
    const Result<Coordinate> reparsed = Coordinate::from_str(resolved.to_string());
    check(reparsed && *reparsed == resolved);
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
    if (coordinate->environment().is_placeholder()) {
        check_not_storable(*coordinate);
    } else {
        check_storable(*coordinate);
    }
    check_with_env(*coordinate);
    return 0;
}
