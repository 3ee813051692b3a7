#pragma once

// Sends the heartbeat: the current metrics and, at most once a day, the hardware
// snapshot, as one authenticated POST. Hardware counts as sent only when the control
// plane accepted the heartbeat that carried it, so a rejected or failed heartbeat
// retries it on the next call. Used from one thread at a time (the daemon loop or
// `once`); not synchronised.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/agent_config.h"
#include "net/endpoints.h"
#include "net/http_client.h"
#include "telemetry/cpu_core_sampler.h"
#include "telemetry/hardware_snapshot.h"
#include "telemetry/metrics.h"
#include "util/agent_error.h"

namespace vela {

class TelemetryReporter {
 public:
  using Clock = std::chrono::system_clock;

  // The request body. Later samples with the same name replace earlier ones.
  struct Body {
    std::map<std::string, double> metrics;
    std::string recorded_at;
    std::optional<HardwareSnapshot> hardware;

    // Compact JSON; `hardware` is omitted when absent.
    Result<std::string> encode() const;
  };

  // REQUIRES: `http` outlives the reporter (the runtime owns both).
  TelemetryReporter(HTTPClient& http, Endpoints endpoints, AgentConfig config,
                    std::string deviceToken);

  // Without `samples`, measures the machine and advances the per-core sampler; given
  // samples are sent exactly as they are. Fails only in transport or encoding; a
  // rejection by the server is logged and is not a failure.
  Result<void> sendHeartbeat(const std::optional<std::vector<MetricSample>>& samples,
                             Clock::time_point now);

  HTTPClient::Headers bearer() const;
  static Body makeBody(const std::vector<MetricSample>& samples, Clock::time_point now,
                       std::optional<HardwareSnapshot> hardware);
  bool hardwareDue(Clock::time_point now) const;
  std::optional<Clock::time_point> lastHardwareSent() const { return lastHardwareSent_; }

 private:
  HTTPClient& http_;
  const Endpoints endpoints_;
  const AgentConfig config_;
  const std::string deviceToken_;
  CPUCoreSampler coreSampler_;
  std::optional<Clock::time_point> lastHardwareSent_;
  const double hardwareInterval_ = 86400;
};

}  // namespace vela
