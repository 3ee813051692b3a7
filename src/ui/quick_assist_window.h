#pragma once

// The GTK face of quick assist: the code window ("Vela Fernwartung"), the session window
// and the error and information alerts, each shown on the UI main loop. askForCode and
// the alerts wait for the answer. REQUIRES: UiRuntime::available(), and not called on
// the main loop's own thread.

#include "desktop/quick_assist_windows.h"

namespace vela {

class QuickAssistWindow final : public QuickAssistWindows {
 public:
  std::optional<std::string> askForCode() override;
  std::shared_ptr<QuickAssistSessionWindow> openSession(std::function<void()> end) override;
  void showError(const std::string& text) override;
  void showInfo(const std::string& text, const std::string& title) override;

  // Widget names, for finding the windows in tests.
  static constexpr const char* kCodeWindowName = "vela-quick-assist-code";
  static constexpr const char* kSessionWindowName = "vela-quick-assist-session";
  static constexpr const char* kAlertName = "vela-quick-assist-alert";
};

}  // namespace vela
