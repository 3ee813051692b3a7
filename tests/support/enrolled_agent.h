#pragma once

// A daemon under test enrolling with the test control plane: the configuration it starts
// from, and waiting until it saved its agent id in config.json (of the state directory
// VELA_STATE_DIR names) once the control plane accepted it.

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>

#include "config/agent_config.h"
#include "support/background_process.h"
#include "support/control_plane.h"

namespace vela::testing {

// Not yet enrolled: `cp`'s server and the token of its provisioning.json, heartbeats and
// polls every `intervalSeconds`.
inline AgentConfig unenrolledConfig(const ControlPlane& cp, int intervalSeconds = 1) {
  AgentConfig config;
  config.serverBaseURL = cp.baseURL();
  config.enrollmentToken = nlohmann::json::parse(cp.provisioningJSON())["token"].get<std::string>();
  config.heartbeatIntervalSeconds = intervalSeconds;
  config.commandPollIntervalSeconds = intervalSeconds;
  return config;
}

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
