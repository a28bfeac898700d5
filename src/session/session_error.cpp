#include "session/session_error.hpp"

#include "core/base/overloaded.hpp"

namespace tarnel::session {

std::string SessionError::message() const {
    return std::visit(core::Overloaded{
                          [](const core::CoreError& error) { return error.display(); },
                          [](const NotFound&) { return std::string("not addressable"); },
                          [](const Denied& denied) { return denied.text; },
                          [](const Other& other) { return other.text; },
                      },
                      kind_);
}

}  // namespace tarnel::session
