#pragma once

#include "core/oversight/confirm.hpp"

namespace tarnel::cli {

// Asks the person at this terminal, who approves by typing "yes". Without a
// terminal every request is denied. The time-out is not applied: the person
// is right there, and Ctrl-C ends the wait.
class TerminalConfirmer final : public core::Confirmer {
public:
    core::Decision confirm(const core::ConfirmRequest& request, std::chrono::milliseconds timeout,
                           const core::CancelToken& cancel = core::CancelToken::never()) const override;
};

}  // namespace tarnel::cli
