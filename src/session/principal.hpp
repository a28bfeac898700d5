#pragma once

#include "core/oversight/audit.hpp"
#include "core/model/policy.hpp"
#include "core/model/scope.hpp"

namespace tarnel::session {

// Whom a session serves, fixed for its life: what it may address and do, who
// is acting (the origin of its audit events and requests), where revealed
// values go, and whether a human is there to confirm.
struct Principal {
    core::AgentScope scope;
    core::Actor actor = core::Actor::Agent;
    core::Surface surface = core::Surface::Mcp;
    bool attended = false;

    // An agent over MCP: nobody at the surface can confirm anything.
    static Principal agent(core::AgentScope scope) {
        return Principal{std::move(scope), core::Actor::Agent, core::Surface::Mcp, false};
    }
    // The vault's owner at a terminal.
    static Principal human(core::AgentScope scope, bool attended) {
        return Principal{std::move(scope), core::Actor::Human, core::Surface::Cli, attended};
    }
};

}  // namespace tarnel::session
