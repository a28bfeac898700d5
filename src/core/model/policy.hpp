#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/model/coordinate.hpp"
#include "core/model/record.hpp"
#include "core/model/scope.hpp"
#include "core/model/sensitivity.hpp"

namespace tarnel::core {

enum class Surface : std::uint8_t { Cli, WebUi, Mcp };

enum class DenyReason : std::uint8_t {
    InjectOnlyNeverRevealed,
    McpCriticalForbidden,
    WebUiCriticalMasked,
    ProdRevealIntoAgentContext,
    NotRevealable,
};

// The variant name, which is what an agent is shown.
std::string_view deny_reason_name(DenyReason reason) noexcept;

struct PolicyDecision {
    enum class Kind : std::uint8_t { Allow, RequireConfirmation, Deny, NotAddressable };

    Kind kind;
    DenyReason reason = DenyReason::NotRevealable;  // meaningful only for Deny

    static PolicyDecision allow() { return {Kind::Allow}; }
    static PolicyDecision require_confirmation() { return {Kind::RequireConfirmation}; }
    static PolicyDecision deny(DenyReason reason) { return {Kind::Deny, reason}; }
    static PolicyDecision not_addressable() { return {Kind::NotAddressable}; }

    friend bool operator==(const PolicyDecision& a, const PolicyDecision& b) {
        return a.kind == b.kind && (a.kind != Kind::Deny || a.reason == b.reason);
    }
};

struct AccessRequest {
    std::optional<std::string_view> project;
    const Coordinate& coordinate;
    Sensitivity sensitivity;
    Operation operation;
    Surface surface;
    bool revealable;
    bool attended;
};

// A concrete environment spelled exactly "prod".
bool is_production(const Coordinate& coordinate) noexcept;

// The one decision for reading secrets. Pure: no I/O, no clock, no state.
PolicyDecision decide(const AccessRequest& request, const AgentScope& scope);

// The level a new record is born with: production starts high whatever was asked.
Sensitivity born_sensitivity(const Coordinate& coordinate, Sensitivity asked) noexcept;

// Lowering a high or inject-only secret needs a human; lowering medium to
// low, raising and keeping the level do not.
bool downgrade_needs_confirmation(Sensitivity current, Sensitivity wanted) noexcept;

// Only a literal holds a value that may ever be revealed; the other kinds are
// refused with their own reason before the decision is asked, whatever their
// level or flag.
std::optional<std::string_view> reveal_refusal(const RecordKind& kind) noexcept;

// A keypair or a TOTP enrolment is never replaced, by a plain value or by a
// record of any kind. The coordinate is the caller's text and the command the
// one that would replace it, both quoted in the refusal.
std::optional<std::string> overwrite_refusal(const RecordKind& kind, std::string_view coordinate,
                                             std::string_view command = "set");

// A reference can only be edited on a reference secret.
std::optional<std::string> reference_edit_refusal(const RecordKind& kind);

}  // namespace tarnel::core
