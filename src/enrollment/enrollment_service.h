#pragma once

// Turns a provisioned configuration into an enrolled one: device key, certificate
// request, the exchange with the control plane, then the issued certificate on disk and
// the identity in config.json. Used from the thread that enrols (daemon start-up or the
// enroll command); one call at a time.

#include "config/agent_config.h"
#include "net/pinned_trust.h"
#include "util/agent_error.h"

namespace vela {

class EnrollmentService {
 public:
  explicit EnrollmentService(PinnedTrust trust) : trust_(std::move(trust)) {}

  // Returns the enrolled configuration, already saved, or the configuration unchanged
  // when it has an agent id. A refused token is removed from the saved configuration
  // (it is single-use); every other failure leaves config.json as it was.
  Result<AgentConfig> enroll(const AgentConfig& config) const;

  const PinnedTrust& trust() const { return trust_; }

 private:
  const PinnedTrust trust_;
};

}  // namespace vela
