#include "cli/terminal_confirmer.hpp"

#include <fmt/format.h>

#include <string>

#include "cli/prompt.hpp"
#include "cli/terminal_text.hpp"
#include "core/model/sensitivity.hpp"

namespace tarnel::cli {

core::Decision TerminalConfirmer::confirm(const core::ConfirmRequest& request, std::chrono::milliseconds,
                                          const core::CancelToken&) const {
    // The coordinate, environment and command may come from files an agent
    // wrote (a refs file, its arguments): shown escaped like every such text.
    std::string question = fmt::format("{} {} ({}, environment {})\n", request.action.value_or("confirm"),
                                       terminal_safe(request.coordinate), core::sensitivity_word(request.sensitivity),
                                       terminal_safe(request.environment));
    if (request.resolved_command) question += fmt::format("  {}\n", terminal_safe(*request.resolved_command));
    question += "Type yes to approve: ";
    PromptFailure failure;
    const auto answer = ask_line(question, failure);
    return answer && *answer == "yes" ? core::Decision::Approved : core::Decision::Denied;
}

}  // namespace tarnel::cli
