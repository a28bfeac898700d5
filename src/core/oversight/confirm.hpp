#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/cancel_token.hpp"
#include "core/oversight/audit.hpp"
#include "core/model/sensitivity.hpp"

namespace tarnel::core {

// One variable of a run, as the person approving it must see it: a literal
// with its value, an environment variable by name, a vault value by
// coordinate and sensitivity, or with the fallback text standing in for it.
struct ShownVariable {
    enum class Source : std::uint8_t { Literal, Env, Vault };
    std::string name;
    Source source = Source::Literal;
    std::string text;                        // the literal's value, the environment variable's name, or the coordinate
    std::optional<Sensitivity> sensitivity;  // vault values only
    // A vault value the vault lacks: the caller's fallback text the run gets instead.
    std::optional<std::string> fallback;

    friend bool operator==(const ShownVariable&, const ShownVariable&) = default;
};

std::string_view shown_source_word(ShownVariable::Source source) noexcept;

// Everything about a run that decides what the program does.
struct RunDetail {
    std::string program;
    std::vector<std::string> arguments;
    std::string working_directory;
    std::vector<ShownVariable> variables;  // file order

    friend bool operator==(const RunDetail&, const RunDetail&) = default;
};

// What a human is asked to approve. Field order is the key order on disk.
struct ConfirmRequest {
    std::optional<std::string> resolved_command;
    std::string coordinate;  // canonical path text; several joined with ", "
    Sensitivity sensitivity;
    std::string environment;
    Actor origin;
    std::optional<std::string> requesting_process;
    std::optional<std::string> requester_description;
    std::optional<std::string> action;
    bool allow_password = false;
    std::optional<RunDetail> run;  // for a run: the whole of it

    ConfirmRequest(std::string_view coordinate, Sensitivity sensitivity, std::string_view environment, Actor origin);

    ConfirmRequest with_requesting_process(std::string_view process) &&;

    friend bool operator==(const ConfirmRequest&, const ConfirmRequest&) = default;
};

// Forged: the answer said "approved" without the owner's proof. It is a
// denial, told apart so that it can be audited as what it is. Withdrawn: the
// caller gave up before an answer came, and the request was taken back.
enum class Decision : std::uint8_t { Approved, Denied, TimedOut, Forged, Withdrawn };

// Asks a human and blocks until an answer, the time-out or the cancellation
// of `cancel`. Never fails: anything that goes wrong is a denial.
class Confirmer {
public:
    virtual ~Confirmer() = default;
    virtual Decision confirm(const ConfirmRequest& request, std::chrono::milliseconds timeout,
                             const CancelToken& cancel = CancelToken::never()) const = 0;
};

}  // namespace tarnel::core
