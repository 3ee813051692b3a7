#include <signal.h>

#include <atomic>
#include <chrono>

#include "config/agent_paths.h"
#include "config/bundled_provisioning.h"
#include "config/setup_wizard.h"
#include "platform/file_io.h"
#include "platform/signal_source.h"
#include "runtime/command_handlers.h"
#include "runtime/daemon.h"
#include "util/log.h"
#include "util/serial_queue.h"

namespace vela::CLI {
namespace {

// Idles until a decodable config.json appears or a stop signal arrives; the flag is
// checked again after each 30-second sleep.
std::optional<AgentConfig> waitForConfig() {
  std::atomic<bool> stop{false};
  Semaphore wake;
  auto signals = platform::SignalSource::create("vela.run.idle", {SIGTERM, SIGINT}, [&](int) {
    stop = true;
  });
  for (;;) {
    if (stop) return std::nullopt;
    if (platform::fileExists(AgentPaths::configFile())) {
      if (auto config = AgentConfig::loadIfPresent()) return config;
    }
    wake.waitFor(std::chrono::seconds(30));
  }
}

// No config.json: the installer's payload, else the file name and environment,
// else a new, unsaved configuration.
Result<AgentConfig> provisionWithoutConfig() {
  if (auto found = BundledProvisioning::find()) {
    VELA_TRY_VOID(found->payload.applyPinnedMaterial());
    AgentConfig config = found->payload.toConfig();
    if (config.quickAssist != true) VELA_TRY_VOID(config.save());
    Log::info("provisioned from " + found->source);
    return config;
  }
  SetupWizard::Flags flags;
  flags.nonInteractive = true;
  if (auto resolved = SetupWizard::resolveConfig(flags, std::nullopt)) {
    VELA_TRY_VOID(resolved->save());
    return std::move(*resolved);
  }
  return AgentConfig{};
}

}  // namespace

Result<int> runCommand(Args args) {
  // Before any thread starts, so every helper thread inherits the blocked mask and a
  // stop signal is always handled by the loop's signal source.
  platform::blockStopSignals();
  if (platform::effectiveUser() == 0) VELA_TRY_VOID(AgentPaths::checkStateDirOwnership());
  AgentPaths::removeStaleTemporaries();
  auto stored = AgentConfig::loadStored();
  if (!stored) {
    // The service manager retries; the file stays as it is for the administrator.
    Log::error(stored.error().message +
               " (left untouched; fix it, or remove it to provision afresh)");
    return 1;
  }
  AgentConfig config = *stored ? std::move(**stored) : VELA_TRY(provisionWithoutConfig());
  if (config.verbose) Log::verbose = true;
  if (config.quickAssist == true) return quickAssistCommand(std::move(args));
  if (!config.agentID && config.enrollmentToken.value_or("").empty()) {
    // No window can be shown by a service: idle until someone configures the agent.
    Log::warn("not provisioned. Idling until configured \u2014 run `vela-agent setup` or redeploy a "
              "provisioning-stamped installer.");
    auto waited = waitForConfig();
    if (!waited) return 0;
    config = std::move(*waited);
  }
  return Daemon::runConfigured(std::move(config));
}

}  // namespace vela::CLI
