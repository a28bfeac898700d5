#include "core/oversight/confirm.hpp"

#include <utility>

namespace tarnel::core {

std::string_view shown_source_word(ShownVariable::Source source) noexcept {
    switch (source) {
        case ShownVariable::Source::Literal: return "literal";
        case ShownVariable::Source::Env: return "env";
        case ShownVariable::Source::Vault: return "vault";
    }
    return "";
}

ConfirmRequest::ConfirmRequest(std::string_view coordinate, Sensitivity sensitivity, std::string_view environment,
                               Actor origin)
    : coordinate(coordinate), sensitivity(sensitivity), environment(environment), origin(origin) {}

ConfirmRequest ConfirmRequest::with_requesting_process(std::string_view process) && {
    requesting_process = std::string(process);
    return std::move(*this);
}

}  // namespace tarnel::core
