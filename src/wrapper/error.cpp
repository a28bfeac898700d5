#include "wrapper/error.hpp"

#include "core/base/overloaded.hpp"

namespace tarnel::wrapper {

std::string WrapperError::display() const {
    return std::visit(
        core::Overloaded{
            [](const core::CoreError& error) { return error.display(); },
            [](const failure::NotAllowlisted& refused) {
                return "`" + refused.program + "` is not on the executor allowlist; high/prod injection refused (I15)";
            },
            [](const failure::ArgumentsNotAllowlisted& refused) {
                return "the allowlist has no entry for `" + refused.program +
                       "` with these arguments; high/prod injection refused (I15)";
            },
            [](const failure::VariableNotAllowlisted& refused) {
                return "`" + refused.name + "` is set by the run, and the allowlist entry for `" + refused.program +
                       "` does not permit it; high/prod injection refused (I15)";
            },
            [](const failure::AllowlistNotSealed&) {
                return std::string(
                    "the allowlist is not sealed with this vault's key, so it allows nothing; the owner can review "
                    "and seal it with `tarnel allowlist --seal`; high/prod injection refused (I15)");
            },
            [](const failure::ConfirmationDenied&) {
                return std::string("confirmation denied; high/prod injection refused");
            },
            [](const failure::ConfirmationTimedOut&) {
                return std::string("confirmation timed out; high/prod injection refused");
            },
            [](const failure::Cancelled& cancelled) {
                return std::string(cancelled.started ? "cancelled by the caller; the program was stopped"
                                                     : "cancelled by the caller; the request was withdrawn");
            },
            [](const failure::Launch& launch) { return "failed to launch child process: " + launch.detail; },
        },
        kind_);
}

bool WrapperError::is_refusal() const noexcept {
    return std::holds_alternative<failure::NotAllowlisted>(kind_) ||
           std::holds_alternative<failure::ArgumentsNotAllowlisted>(kind_) ||
           std::holds_alternative<failure::VariableNotAllowlisted>(kind_) ||
           std::holds_alternative<failure::AllowlistNotSealed>(kind_) ||
           std::holds_alternative<failure::ConfirmationDenied>(kind_) ||
           std::holds_alternative<failure::ConfirmationTimedOut>(kind_);
}

}  // namespace tarnel::wrapper
