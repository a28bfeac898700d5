#include "cli/terminal_confirmer.hpp"

#include <fmt/format.h>

#include <string>

#include "cli/prompt.hpp"
#include "core/model/sensitivity.hpp"

namespace tarnel::cli {

core::Decision TerminalConfirmer::confirm(const core::ConfirmRequest& request, std::chrono::milliseconds) const {
    std::string question = fmt::format("{} {} ({}, environment {})\n", request.action.value_or("confirm"),
                                       request.coordinate, core::sensitivity_word(request.sensitivity),
                                       request.environment);
    if (request.resolved_command) question += fmt::format("  {}\n", *request.resolved_command);
    question += "Type yes to approve: ";
    PromptFailure failure;
    const auto answer = ask_line(question, failure);
    return answer && *answer == "yes" ? core::Decision::Approved : core::Decision::Denied;
}

}  // namespace tarnel::cli
