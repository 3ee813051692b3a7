#pragma once

// What the person in front of the screen chooses when a double-clicked agent finds no
// configuration: a support code for one attended session, a pasted configuration for
// this session only, or the installation as a system service. The decisions live here;
// the windows themselves (GTK, in the desktop module) sit behind OnboardingWindows, so
// the executable never links a toolkit. Runs on the calling thread; each window call
// blocks until its window closes.

#include <functional>
#include <optional>
#include <string>

#include "config/agent_config.h"
#include "config/provisioning_payload.h"
#include "config/system_install.h"

namespace vela {

struct OnboardingResult {
  enum class Kind { quickAssist, provisioned, installedSystemAgent, cancelled, unavailable };
  Kind kind = Kind::unavailable;
  std::string code;                   // quickAssist
  std::optional<AgentConfig> config;  // provisioned

  static OnboardingResult of(Kind kind) { return {kind, {}, {}}; }
  static OnboardingResult quickAssistWith(std::string code) {
    return {Kind::quickAssist, std::move(code), {}};
  }
  static OnboardingResult provisionedWith(AgentConfig config) {
    return {Kind::provisioned, {}, std::move(config)};
  }
};

class OnboardingWindows {
 public:
  // The code each button ends the modal window with.
  enum class Action { cancel = 0, connect = 1, toggle = 99, install = 100 };
  struct CodeAnswer {
    Action action = Action::cancel;
    std::string code;
  };
  struct ConfigAnswer {
    Action action = Action::cancel;
    std::string json;
    std::string token;
  };

  virtual ~OnboardingWindows() = default;
  virtual CodeAnswer presentQuickAssist() = 0;
  // `prefillJSON` fills the editor; empty leaves it empty.
  virtual ConfigAnswer presentConfig(const std::string& prefillJSON) = 0;
  virtual void alert(const std::string& message, const std::string& informative, bool warning) = 0;
};

namespace OnboardingUI {

inline constexpr char kInvalidInput[] = "Ungültiges JSON oder fehlender Server.";

using Installer = std::function<std::optional<SystemInstall::InstallError>(const ProvisioningPayload&)>;
// Installs through pkexec, the running executable copied into place.
Installer systemInstaller();

// The windows' dialogue until it ends in one result (never `unavailable`).
OnboardingResult run(OnboardingWindows& windows, const std::optional<ProvisioningPayload>& prefill,
                     const Installer& install = systemInstaller());

// The editor's text as a payload with the token field's override, or absent when it is
// not a document naming a server.
std::optional<ProvisioningPayload> parse(const std::string& json, const std::string& tokenOverride);

}  // namespace OnboardingUI
}  // namespace vela
