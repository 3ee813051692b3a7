#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "config/agent_paths.h"
#include "config/bundled_provisioning.h"
#include "config/onboarding.h"
#include "config/setup_wizard.h"
#include "desktop/host/desktop_module.h"
#include "net/pinned_trust.h"
#include "platform/file_io.h"
#include "platform/signal_source.h"
#include "runtime/command_handlers.h"
#include "runtime/daemon.h"
#include "util/log.h"
#include "util/no_ui.h"
#include "util/serial_queue.h"

namespace vela::CLI {
namespace {

// EX_CONFIG of sysexits(3): the service manager does not restart the daemon for it, as
// no restart can make a configuration usable.
constexpr int kExitConfig = 78;

// Idles until a decodable config.json appears or a stop signal arrives; the file is
// checked every 30 seconds, and a stop ends the nap at once so that a service manager's
// stop is not held up.
std::optional<AgentConfig> waitForConfig() {
  std::atomic<bool> stop{false};
  Semaphore wake;
  auto signals = platform::SignalSource::create("vela.run.idle", {SIGTERM, SIGINT}, [&](int) {
    stop = true;
    wake.signal();
  });
  for (;;) {
    if (stop) return std::nullopt;
    if (platform::fileExists(AgentPaths::configFile())) {
      if (auto config = AgentConfig::loadIfPresent()) return config;
    }
    wake.waitFor(std::chrono::seconds(30));
  }
}

struct Provisioned {
  AgentConfig config;
  std::optional<ProvisioningPayload> installerPayload;
};

// No config.json: the installer's payload, else the file name and environment,
// else a new, unsaved configuration. Absent when the system's provisioning document is
// there but unusable (find() said why).
Result<std::optional<Provisioned>> provisionWithoutConfig() {
  if (auto found = BundledProvisioning::find()) {
    VELA_TRY_VOID(found->payload.applyPinnedMaterial());
    AgentConfig config = found->payload.toConfig();
    if (config.quickAssist != true) {
      VELA_TRY_VOID(config.save());
      // Its token now lives in config.json, until enrolment spends it; a second copy
      // would only outlast it.
      if (found->path == BundledProvisioning::systemDocumentPath()) {
        if (auto removed = platform::removeFile(found->path); !removed) Log::warn(removed.error().message);
      }
    }
    Log::info("provisioned from " + found->source);
    return Provisioned{std::move(config), std::move(found->payload)};
  }
  const std::string systemDocument = BundledProvisioning::systemDocumentPath();
  if (platform::effectiveUser() == 0 && platform::fileExists(systemDocument)) {
    Log::error(systemDocument + " cannot be used (see above); fix it, or remove it");
    return std::nullopt;
  }
  SetupWizard::Flags flags;
  flags.nonInteractive = true;
  if (auto resolved = SetupWizard::resolveConfig(flags, std::nullopt)) {
    VELA_TRY_VOID(resolved->save());
    return Provisioned{std::move(*resolved), std::nullopt};
  }
  return Provisioned{AgentConfig{}, std::nullopt};
}

// The first-start windows, when this process has a display and the desktop module
// loads; a service has neither.
OnboardingResult onboardingIfAvailable(const std::optional<ProvisioningPayload>& prefill) {
  const auto unavailable = OnboardingResult::of(OnboardingResult::Kind::unavailable);
  if (uiTurnedOff()) return unavailable;
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  if (!set("DISPLAY") && !set("WAYLAND_DISPLAY")) return unavailable;
  auto services = DesktopModule::services();
  if (!services) {
    Log::warn(services.error().message);
    return unavailable;
  }
  OnboardingWindows* windows = (*services)->windows ? (*services)->windows->onboarding() : nullptr;
  if (!windows) return unavailable;
  return OnboardingUI::run(*windows, prefill);
}

// The installer's server when it names a valid one, else the configuration's.
std::optional<std::string> quickAssistServer(const AgentConfig& config) {
  if (auto found = BundledProvisioning::find()) {
    if (auto url = found->payload.toConfig().baseURL()) return url;
  }
  return config.baseURL();
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
    // The file stays as it is for the administrator.
    Log::error(stored.error().message +
               " (left untouched; fix it, or remove it to provision afresh)");
    return kExitConfig;
  }
  std::optional<Provisioned> start;
  if (*stored) {
    start = Provisioned{std::move(**stored), std::nullopt};
    const std::string systemDocument = BundledProvisioning::systemDocumentPath();
    if (platform::effectiveUser() == 0 && platform::fileExists(systemDocument)) {
      Log::warn(systemDocument + " is not used: " + AgentPaths::configFile() +
                " exists (`vela-agent provision --from-file` applies a document to it)");
    }
  } else {
    start = VELA_TRY(provisionWithoutConfig());
    if (!start) return kExitConfig;
  }
  AgentConfig config = std::move(start->config);
  if (config.verbose) Log::verbose = true;
  if (config.quickAssist == true) return quickAssistCommand(std::move(args));
  if (!config.agentID && config.enrollmentToken.value_or("").empty()) {
    OnboardingResult chosen = onboardingIfAvailable(start->installerPayload);
    switch (chosen.kind) {
      case OnboardingResult::Kind::quickAssist: {
        Args quickAssist{chosen.code};
        if (auto server = quickAssistServer(config)) {
          quickAssist.insert(quickAssist.end(), {"--server", *server});
        }
        return quickAssistCommand(std::move(quickAssist));
      }
      case OnboardingResult::Kind::provisioned:
        config = std::move(*chosen.config);
        VELA_TRY_VOID(config.save());
        Log::info("provisioned via onboarding UI");
        break;
      case OnboardingResult::Kind::installedSystemAgent:
        Log::info("system agent installed via onboarding UI \u2014 handing off to the root daemon");
        return 0;
      case OnboardingResult::Kind::cancelled:
        Log::info("entry cancelled by user \u2014 closing");
        return 0;
      case OnboardingResult::Kind::unavailable: {
        // No window can be shown (a service has no display): idle until someone
        // configures the agent.
        Log::warn("not provisioned. Idling until configured \u2014 run `vela-agent setup` or "
                  "redeploy a provisioning-stamped installer.");
        auto waited = waitForConfig();
        if (!waited) return 0;
        config = std::move(*waited);
        break;
      }
    }
  }
  if (auto problem = config.serverProblem()) {
    Log::error(*problem);
    return kExitConfig;
  }
  auto trust = PinnedTrust::load();
  if (!trust) {
    Log::error(trust.error().message);
    return kExitConfig;
  }
  return Daemon::runConfigured(std::move(config), *trust);
}

}  // namespace vela::CLI
