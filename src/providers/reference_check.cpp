#include "providers/reference_check.hpp"

#include <utility>

#include "core/run/provider.hpp"
#include "providers/aws.hpp"
#include "providers/azure.hpp"

namespace tarnel::providers {

namespace {

template <class Parsed>
core::Result<void> parses(std::string_view reference) {
    auto parsed = Parsed::parse(reference);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    return {};
}

}  // namespace

core::Result<void> check_reference(std::string_view reference) {
    auto scheme = core::reference_scheme(reference);
    if (!scheme) return std::unexpected(std::move(scheme.error()));
    if (*scheme == "azure-kv") return parses<AzureRef>(reference);
    if (*scheme == "aws-sm") return parses<AwsRef>(reference);
    return core::fail(core::unknown_scheme(*scheme));
}

}  // namespace tarnel::providers
