#pragma once

#include <expected>
#include <string>
#include <utility>
#include <variant>

#include "core/base/error.hpp"
#include "session/session_error.hpp"

namespace tarnel::ffi {

// The binding's error value: a session's failure, or the binding's own
// validation failure. Each kind maps to one Python exception class.
class FfiError {
public:
    using NotFound = session::SessionError::NotFound;
    using Denied = session::SessionError::Denied;
    using Other = session::SessionError::Other;
    using Kind = session::SessionError::Kind;

    // Implicit: a session's or the core's failure passes through unchanged.
    FfiError(session::SessionError error) : error_(std::move(error)) {}
    FfiError(core::CoreError error) : error_(std::move(error)) {}
    static FfiError other(std::string text) { return FfiError(session::SessionError::other(std::move(text))); }

    const Kind& kind() const noexcept { return error_.kind(); }
    // The text the Python exception carries, unchanged.
    std::string message() const { return error_.message(); }

private:
    session::SessionError error_;
};

// std::expected cannot be marked [[nodiscard]] from outside; this thin
// subclass is.
template <class T>
class [[nodiscard]] FfiResult : public std::expected<T, FfiError> {
    using Base = std::expected<T, FfiError>;

public:
    using Base::Base;
    FfiResult(Base base) : Base(std::move(base)) {}
};

}  // namespace tarnel::ffi
