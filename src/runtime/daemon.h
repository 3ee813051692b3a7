#pragma once

// Builds the daemon runtime from a configuration and the pinned trust: the HTTPS
// client, the telemetry reporter (with a device token), the command poller (with an
// agent id and a device token), the update policy and the gateway connection.

#include <memory>

#include "config/agent_config.h"
#include "net/pinned_trust.h"
#include "runtime/agent_runtime.h"

namespace vela::Daemon {

// Fails with "invalid server URL" when the configuration has no https base URL.
Result<std::shared_ptr<AgentRuntime>> makeRuntime(const AgentConfig& config, const PinnedTrust& trust);

// verbose → enrol when needed → runtime → run. The path of a configured installation;
// the start-up chain before it loads the configuration and the trust.
Result<int> runConfigured(AgentConfig config, const PinnedTrust& trust);

}  // namespace vela::Daemon
