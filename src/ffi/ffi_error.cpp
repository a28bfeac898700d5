#include "ffi/ffi_error.hpp"

namespace tarnel::ffi {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

}  // namespace

std::string FfiError::message() const {
    return std::visit(
        Overloaded{
            [](const core::CoreError& error) { return error.display(); },
            [](const NotFound&) { return std::string("not addressable"); },
            [](const Denied& denied) { return denied.text; },
            [](const Other& other) { return other.text; },
        },
        kind_);
}

}  // namespace tarnel::ffi
