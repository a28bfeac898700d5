#pragma once

// The human's side of IntakeBroker: the intake requests waiting in the
// intake directory, read back as the broker wrote them, and removed once
// answered.

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/oversight/intake.hpp"
#include "core/oversight/request_file.hpp"

namespace tarnel::core {

using IntakeList = RequestListing<PendingIntake>;

class IntakeInbox {
public:
    explicit IntakeInbox(std::filesystem::path dir) : dir_(std::move(dir)) {}
    static IntakeInbox under_root(const std::filesystem::path& root) { return IntakeInbox(root / "intake"); }

    // Every intake file, oldest first; a malformed one is listed apart.
    Result<IntakeList> list() const;
    // The intake under that identifier; nothing when there is none. A file
    // whose "id" is not its own name is malformed.
    Result<std::optional<PendingIntake>> find(const RequestId& id) const;
    // Removes ID.json; false when it was already gone.
    Result<bool> remove(const RequestId& id) const;

private:
    std::filesystem::path dir_;
};

}  // namespace tarnel::core
