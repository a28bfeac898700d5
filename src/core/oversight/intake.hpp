#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/oversight/audit.hpp"
#include "core/oversight/clock.hpp"
#include "core/base/error.hpp"
#include "core/oversight/request_id.hpp"
#include "core/model/sensitivity.hpp"

namespace tarnel::core {

// A request for a human to create a secret. Field order is the key order on disk.
struct PendingIntake {
    std::string id;  // empty until IntakeBroker::create names it
    std::uint64_t created_unix = 0;
    std::string coordinate;  // exactly as the requester wrote it
    Sensitivity sensitivity;
    std::string environment;
    Actor origin;
    std::optional<std::string> requesting_process;
    std::optional<std::string> description;
    std::optional<std::string> project;

    PendingIntake(std::string_view coordinate, Sensitivity sensitivity, std::string_view environment, Actor origin);

    // An empty description is kept as empty, unlike an empty project.
    PendingIntake with_description(std::string_view text) &&;
    PendingIntake with_requesting_process(std::string_view process) &&;
    // An empty name means no project was named.
    PendingIntake with_project(std::optional<std::string> name) &&;

    friend bool operator==(const PendingIntake&, const PendingIntake&) = default;
};

// Drops each intake as ID.json into the intake directory, where the
// human-facing tool takes it over; this side never reads it again.
class IntakeBroker {
public:
    // The clock stamps identifiers and created_unix; it must outlive the broker.
    explicit IntakeBroker(std::filesystem::path dir, const Clock& clock = system_wall_clock())
        : dir_(std::move(dir)), clock_(&clock) {}
    static IntakeBroker under_root(const std::filesystem::path& root, const Clock& clock = system_wall_clock()) {
        return IntakeBroker(root / "intake", clock);
    }

    const std::filesystem::path& dir() const noexcept { return dir_; }

    // Names and stamps the intake, writes it and returns it as stored.
    Result<PendingIntake> create(PendingIntake intake) const;

private:
    std::filesystem::path dir_;
    const Clock* clock_;
};

}  // namespace tarnel::core
