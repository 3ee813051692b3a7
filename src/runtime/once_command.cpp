#include <iostream>

#include "commands/command_poller.h"
#include "commands/replay_store.h"
#include "config/agent_paths.h"
#include "enrollment/enrollment_service.h"
#include "net/endpoints.h"
#include "net/http_client.h"
#include "runtime/command_handlers.h"
#include "telemetry/telemetry_reporter.h"
#include "update/update_checker.h"
#include "util/agent_version.h"

namespace vela::CLI {

// One heartbeat, one command poll and one update check; task failures are reported
// and the next task still runs.
Result<int> onceCommand(Args) {
  AgentConfig config = VELA_TRY(AgentConfig::load());
  PinnedTrust trust = VELA_TRY(PinnedTrust::load());
  if (!config.agentID) config = VELA_TRY(EnrollmentService(trust).enroll(config));
  auto base = config.baseURL();
  if (!base) return fail("invalid server URL");
  Endpoints endpoints{*base};
  HTTPClient http(trust, std::nullopt, 30);
  if (!config.deviceToken) return fail("no device token; (re)enroll first");

  TelemetryReporter telemetry(http, endpoints, config, *config.deviceToken);
  if (auto sent = telemetry.sendHeartbeat(std::nullopt, std::chrono::system_clock::now()); !sent) {
    std::cerr << "heartbeat: " << sent.error().description() << "\n";
  }
  if (config.agentID) {
    CommandVerifier verifier(trust.commandPublicKey, *config.agentID,
                             ReplayStore(AgentPaths::replayStateFile()), config.commandSkewSeconds);
    CommandPoller poller(http, endpoints, config, std::move(verifier), *config.agentID,
                         *config.deviceToken);
    if (auto executed = poller.pollOnce()) {
      std::cout << "commands executed: " << *executed << "\n";
    } else {
      std::cerr << "command-poll: " << executed.error().description() << "\n";
    }
  }
  UpdateChecker updater(*base, trust);
  if (auto outcome = updater.check(config.channel, std::string(AgentVersion::current))) {
    if (*outcome) {
      std::cout << "update available: " << (*outcome)->version << "\n";
    } else {
      std::cout << "update: up to date\n";
    }
  } else {
    std::cerr << "update-check: " << outcome.error().description() << "\n";
  }
  std::cout.flush();
  return 0;
}

}  // namespace vela::CLI
