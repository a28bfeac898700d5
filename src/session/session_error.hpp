#pragma once

#include <expected>
#include <string>
#include <utility>
#include <variant>

#include "core/base/error.hpp"

namespace tarnel::session {

// What a session operation returns instead of its result. Each face maps the
// four kinds once: the Python binding to its exceptions, the terminal tool to
// exit codes.
class SessionError {
public:
    // Out of scope and absent are one outcome, so a caller cannot probe for
    // secrets it may not address.
    struct NotFound {};
    // An addressable, existing secret that policy or a human refused.
    struct Denied {
        std::string text;
    };
    // The session's own validation and set-up failures.
    struct Other {
        std::string text;
    };
    using Kind = std::variant<core::CoreError, NotFound, Denied, Other>;

    // Implicit: a core failure passes through the session unchanged.
    SessionError(core::CoreError error) : kind_(std::move(error)) {}
    static SessionError not_found() { return SessionError(NotFound{}); }
    static SessionError denied(std::string text) { return SessionError(Denied{std::move(text)}); }
    static SessionError other(std::string text) { return SessionError(Other{std::move(text)}); }

    const Kind& kind() const noexcept { return kind_; }
    // The one text a face shows for the error, unchanged.
    std::string message() const;

private:
    explicit SessionError(Kind kind) : kind_(std::move(kind)) {}

    Kind kind_;
};

template <class T>
class [[nodiscard]] SessionResult : public std::expected<T, SessionError> {
    using Base = std::expected<T, SessionError>;

public:
    using Base::Base;
    SessionResult(Base base) : Base(std::move(base)) {}
};

inline std::unexpected<SessionError> fail(SessionError error) {
    return std::unexpected<SessionError>(std::move(error));
}

}  // namespace tarnel::session
