#include "core/model/coordinate.hpp"

#include <array>

#include "core/base/digest.hpp"

namespace tarnel::core {

namespace {

constexpr std::string_view kPrefix = "secret:";
constexpr std::string_view kPlaceholder = "${ENV}";
constexpr std::string_view kInterpolation = "${";

std::unexpected<CoreError> invalid(std::string detail) { return fail(ErrorKind::InvalidCoordinate, std::move(detail)); }

bool interpolates(std::string_view segment) { return segment.find(kInterpolation) != std::string_view::npos; }

struct Split {
    std::string_view body;
    Fragment fragment;
};

Result<Split> split_fragment(std::string_view rest) {
    const auto hash = rest.find('#');
    if (hash == std::string_view::npos) return Split{rest, Fragment::None};
    const auto text = rest.substr(hash + 1);
    if (text == "public") return Split{rest.substr(0, hash), Fragment::Public};
    if (text == "private") return Split{rest.substr(0, hash), Fragment::Private};
    return invalid("unknown coordinate fragment `#" + std::string(text) + "` (only `#public`/`#private` are valid)");
}

struct Scoped {
    std::string_view path;
    bool global;
};

Result<Scoped> split_scope(std::string_view body) {
    if (!body.starts_with("//")) return Scoped{body, false};
    const auto slash = body.find('/', 2);
    if (slash == std::string_view::npos) {
        return invalid("scope form requires `//<authority>/<path>`");
    }
    if (body.substr(2, slash - 2) != "global") {
        return invalid("only `//global/` scope selector is supported");
    }
    return Scoped{body.substr(slash + 1), true};
}

Result<std::array<std::string_view, 3>> split_segments(std::string_view path) {
    std::array<std::string_view, 3> pieces;
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        const auto slash = path.find('/', start);
        const auto piece = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (count == pieces.size()) return invalid("coordinate must have exactly three segments");
        pieces[count++] = piece;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (count != pieces.size()) return invalid("coordinate must have exactly three segments");
    for (auto piece : pieces) {
        if (piece.empty()) return invalid("segments must be non-empty");
    }
    return pieces;
}

Result<EnvSegment> parse_environment(std::string_view segment) {
    if (segment == kPlaceholder) return EnvSegment::placeholder();
    if (interpolates(segment)) {
        return invalid("only `${ENV}` interpolation is allowed in the environment segment");
    }
    return EnvSegment::concrete(std::string(segment));
}

}  // namespace

std::string EnvSegment::to_string() const { return name_ ? *name_ : std::string(kPlaceholder); }

Result<std::string> parse_plain_segment(std::string_view segment, std::string_view segment_name) {
    if (interpolates(segment)) {
        return invalid("interpolation is not allowed in the " + std::string(segment_name) + " segment");
    }
    return std::string(segment);
}

Result<Coordinate> Coordinate::from_str(std::string_view text) {
    if (!text.starts_with(kPrefix)) return invalid("must start with `secret:`");
    auto split = split_fragment(text.substr(kPrefix.size()));
    if (!split) return fail(split.error());
    auto scoped = split_scope(split->body);
    if (!scoped) return fail(scoped.error());
    auto pieces = split_segments(scoped->path);
    if (!pieces) return fail(pieces.error());
    auto environment = parse_environment((*pieces)[0]);
    if (!environment) return fail(environment.error());
    auto component = parse_plain_segment((*pieces)[1], "component");
    if (!component) return fail(component.error());
    auto key = parse_plain_segment((*pieces)[2], "key");
    if (!key) return fail(key.error());
    return Coordinate(std::move(*environment), std::move(*component), std::move(*key), scoped->global, split->fragment);
}

std::string Coordinate::to_string() const {
    std::string text(global_ ? "secret://global/" : "secret:");
    text += environment_.to_string();
    text += '/';
    text += component_;
    text += '/';
    text += key_;
    if (fragment_ == Fragment::Public) text += "#public";
    if (fragment_ == Fragment::Private) text += "#private";
    return text;
}

Result<std::string> Coordinate::canonical_path() const {
    if (environment_.is_placeholder()) {
        return fail(ErrorKind::NotStorable, "coordinate has an unresolved `${ENV}` placeholder");
    }
    std::string path(environment_.name());
    path += '/';
    path += component_;
    path += '/';
    path += key_;
    return path;
}

Result<std::string> Coordinate::storage_id() const {
    auto path = canonical_path();
    if (!path) return fail(path.error());
    return blake3_hex(*path);
}

Coordinate Coordinate::with_env(std::string_view environment) const& { return Coordinate(*this).with_env(environment); }

Coordinate Coordinate::with_env(std::string_view environment) && {
    if (environment_.is_placeholder()) environment_ = EnvSegment::concrete(std::string(environment));
    return std::move(*this);
}

}  // namespace tarnel::core
