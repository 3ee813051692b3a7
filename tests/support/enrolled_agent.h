#pragma once

// An agent under test against the test control plane: the configuration a daemon starts
// from and the wait until it saved its agent id in config.json (of the state directory
// VELA_STATE_DIR names); and a fixture sharing one control plane across a suite.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "config/agent_config.h"
#include "net/http_client.h"
#include "net/pinned_trust.h"
#include "support/background_process.h"
#include "support/control_plane.h"
#include "util/agent_crypto.h"

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

// One control plane for a whole suite, with an HTTPS client that trusts it and an agent
// enrolled through its agent API on the first call of enrolled(). Each test gets a state
// directory of its own (VELA_STATE_DIR) with the control plane pinned in it; the faults
// a test scripts end with the test.
class ControlPlaneSuite : public ::testing::Test {
 protected:
  struct Shared {
    ControlPlane cp;
    PinnedTrust trust{PinnedTrust::parseCertificates(cp.caPem()), {},
                      AgentCrypto::ed25519PublicKey(cp.commandPublicKey()).value(),
                      AgentCrypto::ed25519PublicKey(cp.updatePublicKey()).value(), ""};
    HTTPClient http{trust};
    std::optional<ControlPlane::Enrolment> agent;
  };

  static void SetUpTestSuite() { shared_ = std::make_unique<Shared>(); }
  static void TearDownTestSuite() { shared_.reset(); }
  void SetUp() override { cp_->pinInto(state_.path()); }
  void TearDown() override { cp_->clearFaults(); }

  static const ControlPlane::Enrolment& enrolled() {
    if (!shared_->agent) shared_->agent = shared_->cp.enrolAgent("suite-agent");
    return *shared_->agent;
  }

  static inline std::unique_ptr<Shared> shared_;
  ControlPlane* const cp_ = &shared_->cp;
  const PinnedTrust& trust_ = shared_->trust;
  HTTPClient& http_ = shared_->http;
  ScopedStateDir state_;
};

}  // namespace vela::testing
