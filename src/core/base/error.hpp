#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace tarnel::core {

// Declaration order is part of the contract: the kinds are documented by position.
enum class ErrorKind : std::uint8_t {
    InvalidCoordinate,
    Crypto,
    Serialization,
    Io,
    Keyring,
    MetadataIndex,
    NotStorable,
    Policy,
    Audit,
    EnvRefs,
    Keypair,
    Totp,
    Provider,
    Package,
    Format,
};

// The single error value of the core. The display text is its only external
// form, so producers must format the detail before constructing one and must
// never put secret bytes into it.
class CoreError {
public:
    CoreError(ErrorKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    static CoreError crypto() { return CoreError(ErrorKind::Crypto, {}); }

    ErrorKind kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }
    std::string display() const;

    friend bool operator==(const CoreError&, const CoreError&) = default;

private:
    ErrorKind kind_;
    std::string detail_;
};

// std::expected cannot be marked [[nodiscard]] from outside, so the core's
// result type is a thin subclass that is.
template <class T>
class [[nodiscard]] Result : public std::expected<T, CoreError> {
    using Base = std::expected<T, CoreError>;

public:
    using Base::Base;
    Result(Base base) : Base(std::move(base)) {}
};

inline std::unexpected<CoreError> fail(ErrorKind kind, std::string detail) {
    return std::unexpected<CoreError>(std::in_place, kind, std::move(detail));
}

inline std::unexpected<CoreError> fail(CoreError error) { return std::unexpected<CoreError>(std::move(error)); }

}  // namespace tarnel::core
