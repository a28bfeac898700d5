#include "core/run/provider.hpp"

#include <string>

namespace tarnel::core {

SchemeRouter SchemeRouter::with(std::unique_ptr<SecretProvider> provider) && {
    providers_.push_back(std::move(provider));
    return std::move(*this);
}

Result<std::string_view> reference_scheme(std::string_view reference) {
    const std::size_t separator = reference.find("://");
    if (separator == std::string_view::npos) {
        return fail(ErrorKind::Provider,
                    "reference `" + std::string(reference) + "` is malformed: expected `<scheme>://\xE2\x80\xA6`");
    }
    return reference.substr(0, separator);
}

CoreError unknown_scheme(std::string_view scheme) {
    return CoreError(ErrorKind::Provider, "no provider registered for reference scheme `" + std::string(scheme) +
                                              "` (supported: azure-kv, aws-sm)");
}

Result<SecretValue> SchemeRouter::materialize(std::string_view reference) const {
    auto scheme = reference_scheme(reference);
    if (!scheme) return std::unexpected(std::move(scheme.error()));
    // Latest first, so a later registration replaces an earlier one.
    for (auto it = providers_.rbegin(); it != providers_.rend(); ++it) {
        if ((*it)->scheme() == *scheme) return (*it)->materialize(reference);
    }
    return fail(unknown_scheme(*scheme));
}

}  // namespace tarnel::core
