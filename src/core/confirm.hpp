#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/audit.hpp"
#include "core/sensitivity.hpp"

namespace tarnel::core {

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

    ConfirmRequest(std::string_view coordinate, Sensitivity sensitivity, std::string_view environment,
                   Actor origin);

    ConfirmRequest with_requesting_process(std::string_view process) &&;

    friend bool operator==(const ConfirmRequest&, const ConfirmRequest&) = default;
};

enum class Decision : std::uint8_t { Approved, Denied, TimedOut };

// Asks a human and blocks until an answer or the time-out. Never fails:
// anything that goes wrong is a denial.
class Confirmer {
public:
    virtual ~Confirmer() = default;
    virtual Decision confirm(const ConfirmRequest& request, std::chrono::milliseconds timeout) const = 0;
};

}  // namespace tarnel::core
