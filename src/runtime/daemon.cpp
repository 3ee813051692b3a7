#include "runtime/daemon.h"

#include <unistd.h>

#include "commands/command_poller.h"
#include "commands/replay_store.h"
#include "config/agent_paths.h"
#include "desktop/host/desktop_module.h"
#include "enrollment/enrollment_service.h"
#include "net/endpoints.h"
#include "net/http_client.h"
#include "platform/active_seat_user.h"
#include "desktop/ipc/desktop_ipc.h"
#include "runtime/desktop_relay_service.h"
#include "runtime/gateway_service.h"
#include "runtime/update_policy.h"
#include "telemetry/telemetry_reporter.h"
#include "util/log.h"
#include "util/process_info.h"

namespace vela::Daemon {
namespace {

constexpr double kRequestTimeoutSeconds = 30;

void reportTo(const std::shared_ptr<RuntimeStatus>& status, const std::shared_ptr<GatewayClient>& gateway,
              DesktopRelayService* relay) {
  std::weak_ptr<RuntimeStatus> weak = status;
  if (gateway) {
    gateway->setLinkObserver([weak](GatewayClient::LinkState state, const std::string& detail) {
      auto status = weak.lock();
      if (!status) return;
      using State = GatewayClient::LinkState;
      switch (state) {
        case State::connecting: status->gateway(RuntimeStatus::Link::connecting); break;
        case State::connected: status->gateway(RuntimeStatus::Link::connected); break;
        case State::stopped: status->gateway(RuntimeStatus::Link::off); break;
        case State::disconnected:
          status->gateway(RuntimeStatus::Link::disconnected);
          status->error("gateway: " + detail);
          break;
      }
    });
  }
  if (relay) {
    relay->server()->setHelperObserver([weak](bool connected) {
      if (auto status = weak.lock()) status->desktopHelper(connected);
    });
  }
}

}  // namespace

Result<std::shared_ptr<AgentRuntime>> makeRuntime(const AgentConfig& config, const PinnedTrust& trust) {
  auto base = config.baseURL();
  if (!base) return fail("invalid server URL");
  Endpoints endpoints{*base};
  // The tasks below share the client; it lives as long as the last task holding it.
  auto http = std::make_shared<HTTPClient>(trust, std::nullopt, kRequestTimeoutSeconds);

  AgentRuntime::Tasks tasks;
  if (config.deviceToken) {
    auto telemetry = std::make_shared<TelemetryReporter>(*http, endpoints, config, *config.deviceToken);
    tasks.heartbeat = [http, telemetry]() {
      return telemetry->sendHeartbeat(std::nullopt, std::chrono::system_clock::now());
    };
  } else {
    Log::warn("no device token; telemetry/commands disabled until (re)enrollment");
  }
  std::shared_ptr<CommandPoller> commandPoller;
  if (config.agentID && config.deviceToken) {
    CommandVerifier verifier(trust.commandPublicKey, *config.agentID,
                             ReplayStore(AgentPaths::replayStateFile()), config.commandSkewSeconds);
    auto poller = std::make_shared<CommandPoller>(*http, endpoints, config, std::move(verifier),
                                                  *config.agentID, *config.deviceToken);
    tasks.poll = [http, poller]() -> Result<void> {
      VELA_TRY(poller->pollOnce());
      return {};
    };
    commandPoller = poller;
  }
  auto updater = std::make_shared<UpdateChecker>(*base, trust);
  auto policy = std::make_shared<UpdatePolicy>(updater, config.channel, ProcessInfo::executablePath());
  tasks.updateCheck = [policy]() { return policy->checkAndMaybeApplyUpdate(); };

  auto runtime = AgentRuntime::create(config, std::move(tasks));
  if (commandPoller) commandPoller->executor().setCancellation(runtime->stopping());
  std::shared_ptr<GatewayClient> gateway;
  if (config.deviceToken && !config.deviceToken->empty()) {
    // A daemon running as the logged-in user reaches the screen itself; as root the
    // screen belongs to the per-user helper behind the desktop IPC relay.
    DesktopSessionManager::ServicesProvider desktopServices;
    std::unique_ptr<DesktopRelayService> relay;
    if (::geteuid() != 0) {
      desktopServices = DesktopModule::servicesProvider();
    } else {
      relay = DesktopRelayService::create(DesktopIPC::socketPath(), platform::ActiveSeatUser::logind());
    }
    gateway = GatewayClient::create(config.serverBaseURL, trust, *config.deviceToken,
                                         std::move(desktopServices), relay ? relay->server() : nullptr);
    if (gateway) gateway->setFileTransferAllowed(config.allowFileTransfer);
    if (gateway) gateway->setClipboardAllowed(config.allowClipboard);
    reportTo(runtime->status(), gateway, relay.get());
    // The relay listens before the gateway can deliver frames to it.
    if (gateway && relay) runtime->addService(std::move(relay));
  } else {
    runtime->addStartupWarning("no device token / server; remote-shell gateway connection disabled");
  }
  if (gateway) runtime->addService(std::make_unique<GatewayService>(gateway));
  return runtime;
}

Result<int> runConfigured(AgentConfig config, const PinnedTrust& trust) {
  if (config.verbose) Log::verbose = true;
  if (!config.agentID) config = VELA_TRY(EnrollmentService(trust).enroll(config));
  auto runtime = VELA_TRY(makeRuntime(config, trust));
  return runtime->run();
}

}  // namespace vela::Daemon
