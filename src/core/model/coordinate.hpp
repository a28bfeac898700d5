#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/base/error.hpp"

namespace tarnel::core {

// The environment segment: a concrete name, or the `${ENV}` placeholder that
// stands for the environment of the current run.
class EnvSegment {
public:
    static EnvSegment placeholder() { return EnvSegment(std::nullopt); }
    static EnvSegment concrete(std::string name) { return EnvSegment(std::move(name)); }

    bool is_placeholder() const noexcept { return !name_; }
    // The concrete name; empty for the placeholder.
    std::string_view name() const noexcept { return name_ ? std::string_view(*name_) : std::string_view(); }
    // "${ENV}" for the placeholder, else the name.
    std::string to_string() const;

    friend bool operator==(const EnvSegment&, const EnvSegment&) = default;

private:
    explicit EnvSegment(std::optional<std::string> name) : name_(std::move(name)) {}
    std::optional<std::string> name_;
};

enum class Fragment { None, Public, Private };

// The address of one secret: secret:env/component/key, optionally in the
// secret://global/ form, optionally with #public or #private.
class Coordinate {
public:
    static Result<Coordinate> from_str(std::string_view text);

    const EnvSegment& environment() const noexcept { return environment_; }
    const std::string& component() const noexcept { return component_; }
    const std::string& key() const noexcept { return key_; }
    bool is_global() const noexcept { return global_; }
    Fragment fragment() const noexcept { return fragment_; }

    // Prints back exactly the text the coordinate was parsed from.
    std::string to_string() const;
    // "env/component/key"; not storable while the environment is the placeholder.
    Result<std::string> canonical_path() const;
    // BLAKE3 of the canonical path as 64 lower-case hex characters: the record's file name.
    Result<std::string> storage_id() const;
    // Substitutes the placeholder environment; a concrete environment is kept.
    Coordinate with_env(std::string_view environment) const&;
    Coordinate with_env(std::string_view environment) &&;

    friend bool operator==(const Coordinate&, const Coordinate&) = default;

private:
    Coordinate(EnvSegment environment, std::string component, std::string key, bool global, Fragment fragment)
        : environment_(std::move(environment)),
          component_(std::move(component)),
          key_(std::move(key)),
          global_(global),
          fragment_(fragment) {}

    EnvSegment environment_;
    std::string component_;
    std::string key_;
    bool global_;
    Fragment fragment_;
};

// A component or key segment: any text without the `${` interpolation marker.
Result<std::string> parse_plain_segment(std::string_view segment, std::string_view segment_name);

}  // namespace tarnel::core
