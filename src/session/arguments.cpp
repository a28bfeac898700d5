#include "session/arguments.hpp"

#include <utility>

namespace tarnel::session {

SessionResult<void> check_size(std::string_view name, std::optional<std::string_view> text, std::size_t max) {
    if (!text || text->size() <= max) return {};
    return fail(SessionError::other("`" + std::string(name) + "` must be at most " + std::to_string(max) + " bytes"));
}

SessionResult<core::Coordinate> parse_concrete(std::string_view text) {
    if (auto sized = check_size("coordinate", text, kMaxCoordinateBytes); !sized) return fail(std::move(sized.error()));
    auto parsed = core::Coordinate::from_str(text);
    if (!parsed) return fail(SessionError::other(parsed.error().display()));
    if (auto path = parsed->canonical_path(); !path) {
        return fail(SessionError::other(path.error().display() + " (a coordinate must be concrete, not ${ENV})"));
    }
    return std::move(*parsed);
}

SessionResult<core::Sensitivity> parse_sensitivity(std::string_view text) {
    if (auto sized = check_size("sensitivity", text, kMaxWordBytes); !sized) return fail(std::move(sized.error()));
    auto level = core::parse_sensitivity(text);
    if (!level) return fail(SessionError::other(std::move(level.error())));
    return *level;
}

SessionResult<core::Sensitivity> sensitivity_or(std::optional<std::string_view> text, core::Sensitivity fallback) {
    if (!text) return fallback;
    return parse_sensitivity(*text);
}

SessionResult<core::Sensitivity> creation_sensitivity(std::optional<std::string_view> sensitivity,
                                                      std::optional<std::string_view> description) {
    if (auto sized = check_size("description", description, kMaxDescriptionBytes); !sized) {
        return fail(std::move(sized.error()));
    }
    return sensitivity_or(sensitivity, core::Sensitivity::Medium);
}

std::string env_of(const core::Coordinate& coordinate) { return std::string(coordinate.environment().name()); }

std::optional<std::string> origin_for(std::optional<std::string_view> project) {
    if (!project) return std::nullopt;
    return std::string(*project);
}

}  // namespace tarnel::session
