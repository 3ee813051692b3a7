#pragma once

// The first-start windows in GTK 3: the support-code window, the configuration window
// and their alerts, in German, laid out by GTK boxes so that they grow with the desktop's
// font instead of overlapping. Each call builds its window
// on the GLib main loop, shows it modally above other windows and blocks the caller
// until a button (or Return / Escape) ends it.
// REQUIRES: UiRuntime::available(); never called on the main loop's own thread.

#include "config/onboarding.h"

namespace vela {

class GtkOnboardingWindows final : public OnboardingWindows {
 public:
  // Widget names of the two windows, for tests that look for them.
  static constexpr const char* kCodeWindowName = "vela-onboarding-code";
  static constexpr const char* kConfigWindowName = "vela-onboarding-config";
  static constexpr const char* kAlertName = "vela-onboarding-alert";

  CodeAnswer presentQuickAssist() override;
  ConfigAnswer presentConfig(const std::string& prefillJSON) override;
  void alert(const std::string& message, const std::string& informative, bool warning) override;
};

}  // namespace vela
