#pragma once

#include <expected>
#include <string>
#include <utility>
#include <variant>

#include "core/base/error.hpp"

namespace tarnel::wrapper {

namespace failure {
struct NotAllowlisted {
    std::string program;  // as displayed
};
// Listed, but with other arguments.
struct ArgumentsNotAllowlisted {
    std::string program;
};
// A variable the caller set that the program's entry does not permit.
struct VariableNotAllowlisted {
    std::string program;
    std::string name;
};
// The allowlist file does not carry the vault key's seal.
struct AllowlistNotSealed {};
struct ConfirmationDenied {};
struct ConfirmationTimedOut {};
// The caller gave up: before the owner answered (the request was withdrawn
// and nothing ran), or while the program ran (it was stopped).
struct Cancelled {
    bool started = false;
};
struct Launch {
    std::string detail;
    // The errno of a start the system refused (ENOENT: no such program); 0
    // when the command was refused before that.
    int error_number = 0;
};
}  // namespace failure

// Why a run did not happen. The display text is its only external form.
class WrapperError {
public:
    using Kind = std::variant<core::CoreError, failure::NotAllowlisted, failure::ArgumentsNotAllowlisted,
                              failure::VariableNotAllowlisted, failure::AllowlistNotSealed, failure::ConfirmationDenied,
                              failure::ConfirmationTimedOut, failure::Cancelled, failure::Launch>;

    WrapperError(Kind kind) : kind_(std::move(kind)) {}

    const Kind& kind() const noexcept { return kind_; }
    std::string display() const;
    // Refusals of the gates, as opposed to failures of resolution or launch.
    bool is_refusal() const noexcept;

private:
    Kind kind_;
};

template <class T>
class [[nodiscard]] WrapperResult : public std::expected<T, WrapperError> {
    using Base = std::expected<T, WrapperError>;

public:
    using Base::Base;
    WrapperResult(Base base) : Base(std::move(base)) {}
};

inline std::unexpected<WrapperError> fail(WrapperError::Kind kind) {
    return std::unexpected<WrapperError>(std::in_place, std::move(kind));
}

}  // namespace tarnel::wrapper
