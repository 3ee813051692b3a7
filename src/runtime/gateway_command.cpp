// The `gateway` command: runs the remote-shell gateway connection in the foreground
// until SIGINT or SIGTERM.

#include <signal.h>

#include "config/agent_config.h"
#include "desktop/host/desktop_module.h"
#include "net/pinned_trust.h"
#include "platform/signal_source.h"
#include "remote/gateway_client.h"
#include "runtime/command_handlers.h"
#include "util/log.h"
#include "util/serial_queue.h"
#include "util/url.h"

namespace vela::CLI {

Result<int> gatewayCommand(Args) {
  AgentConfig config = VELA_TRY(AgentConfig::load());
  if (!config.agentID) return fail("not enrolled; run `enroll` first");
  PinnedTrust trust = VELA_TRY(PinnedTrust::load());
  auto base = config.baseURL();
  if (!base) return fail("invalid server URL");
  if (!config.deviceToken || config.deviceToken->empty()) {
    return fail("no device token; (re)enroll first");
  }
  Log::info("authenticating gateway with device_token bearer (agent " + *config.agentID + ")");

  // The signal thread must exist before any other thread so that every later thread
  // inherits the blocked stop signals and they reach only the signal source.
  Semaphore stopRequested;
  auto signals = platform::SignalSource::create("vela.gateway.cli", {SIGINT, SIGTERM},
                                                [&stopRequested](int) { stopRequested.signal(); });
  if (!signals) return tl::unexpected(signals.error());

  // The desktop module loads on the first desktop session, not before.
  DesktopSessionManager::ServicesProvider desktopServices = DesktopModule::servicesProvider();
  auto client = GatewayClient::create(*base, std::move(trust), *config.deviceToken,
                                           std::move(desktopServices));
  if (!client) return fail("could not build gateway client URL");
  client->setFileTransferAllowed(config.allowFileTransfer);
  client->setClipboardAllowed(config.allowClipboard);
  auto host = URL::parse(*base);
  std::string shownHost = host && !host->host.empty() ? host->host : "?";
  Log::info("connecting remote-shell gateway (wss://" + shownHost +
            ":8443/v1/agent/conn) — Ctrl-C to stop");
  client->start();

  stopRequested.wait();
  signals->reset();
  client->stopAndWait();
  return 0;
}

}  // namespace vela::CLI
