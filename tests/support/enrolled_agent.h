#pragma once

// Waiting for a daemon under test to enrol: it saves its agent id in config.json (of the
// state directory VELA_STATE_DIR names) once the control plane accepted it.

#include <chrono>
#include <string>

#include "config/agent_config.h"
#include "support/background_process.h"

namespace vela::testing {

// The enrolled agent id, or empty when none appeared within `limit`.
inline std::string waitForEnrolledAgentID(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  std::string agentID;
  BackgroundProcess::waitUntil(
      [&] {
        auto config = AgentConfig::loadIfPresent();
        if (config && config->agentID) agentID = *config->agentID;
        return !agentID.empty();
      },
      limit);
  return agentID;
}

}  // namespace vela::testing
