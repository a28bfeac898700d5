#pragma once

#include <expected>
#include <string>
#include <variant>

#include "core/error.hpp"

namespace tarnel::ffi {

// The binding's error value: what a session operation returns instead of its
// result. Each kind maps to one Python exception class and one message.
class FfiError {
public:
    // Out of scope and absent are one outcome, so an agent cannot probe for
    // secrets it may not address.
    struct NotFound {};
    // An addressable, existing secret that policy refuses.
    struct Denied {
        std::string text;
    };
    // The binding's own validation and set-up failures.
    struct Other {
        std::string text;
    };
    using Kind = std::variant<core::CoreError, NotFound, Denied, Other>;

    // Implicit: a core failure passes through the binding unchanged.
    FfiError(core::CoreError error) : kind_(std::move(error)) {}
    static FfiError not_found() { return FfiError(NotFound{}); }
    static FfiError denied(std::string text) { return FfiError(Denied{std::move(text)}); }
    static FfiError other(std::string text) { return FfiError(Other{std::move(text)}); }

    const Kind& kind() const noexcept { return kind_; }
    // The text the Python exception carries, unchanged.
    std::string message() const;

private:
    explicit FfiError(Kind kind) : kind_(std::move(kind)) {}

    Kind kind_;
};

template <class T>
using FfiResult = std::expected<T, FfiError>;

}  // namespace tarnel::ffi
