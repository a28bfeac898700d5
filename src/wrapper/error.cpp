#include "wrapper/error.hpp"

#include "core/overloaded.hpp"

namespace tarnel::wrapper {

std::string WrapperError::display() const {
    return std::visit(
        core::Overloaded{
            [](const core::CoreError& error) { return error.display(); },
            [](const failure::NotAllowlisted& refused) {
                return "`" + refused.program + "` is not on the executor allowlist; high/prod injection refused (I15)";
            },
            [](const failure::ConfirmationDenied&) {
                return std::string("confirmation denied; high/prod injection refused");
            },
            [](const failure::ConfirmationTimedOut&) {
                return std::string("confirmation timed out; high/prod injection refused");
            },
            [](const failure::Launch& launch) { return "failed to launch child process: " + launch.detail; },
        },
        kind_);
}

bool WrapperError::is_refusal() const noexcept {
    return std::holds_alternative<failure::NotAllowlisted>(kind_) ||
           std::holds_alternative<failure::ConfirmationDenied>(kind_) ||
           std::holds_alternative<failure::ConfirmationTimedOut>(kind_);
}

}  // namespace tarnel::wrapper
