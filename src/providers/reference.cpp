#include "providers/reference.hpp"

#include <algorithm>
#include <string>

namespace tarnel::providers {
namespace {

std::string named(std::string_view scheme, std::string_view reference) {
    return std::string(scheme) + " reference `" + std::string(reference) + "` ";
}

}  // namespace

core::Result<ReferenceParts> split_reference(std::string_view reference, const ReferenceShape& shape) {
    const std::string prefix = std::string(shape.scheme) + "://";
    if (!reference.starts_with(prefix)) {
        return core::fail(core::ErrorKind::Provider, "reference `" + std::string(reference) + "` is not an `" + prefix +
                                                         "<" + std::string(shape.first_part) + ">/<secret>` URI");
    }
    const std::string_view rest = reference.substr(prefix.size());
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos) {
        return core::fail(core::ErrorKind::Provider,
                          named(shape.scheme, reference) + "is missing the `/<secret-name>` part");
    }
    const ReferenceParts parts{rest.substr(0, slash), rest.substr(slash + 1)};
    if (parts.first.empty()) {
        return core::fail(core::ErrorKind::Provider,
                          named(shape.scheme, reference) + "has an empty " + std::string(shape.first_label));
    }
    if (parts.secret.empty()) {
        return core::fail(core::ErrorKind::Provider, named(shape.scheme, reference) + "has an empty secret name");
    }
    return parts;
}

core::Result<void> check_segment(std::string_view scheme, std::string_view segment, std::string_view label,
                                 std::string_view reference, bool (*allowed)(char)) {
    if (segment.starts_with('-')) {
        return core::fail(core::ErrorKind::Provider,
                          named(scheme, reference) + "has a " + std::string(label) +
                              " starting with `-` (refused — it could be read as a CLI flag)");
    }
    if (!std::ranges::all_of(segment, allowed)) {
        return core::fail(core::ErrorKind::Provider,
                          named(scheme, reference) + "has an invalid character in the " + std::string(label));
    }
    return {};
}

}  // namespace tarnel::providers
