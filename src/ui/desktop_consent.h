#pragma once

// DesktopConsent asks the person at the machine, in a modal GTK dialog, whether an
// operator may see and control the screen. "Erlauben" (the default) accepts;
// "Ablehnen", closing the dialog or letting the timeout pass declines. request() may be
// called from any thread; the dialog runs on the GLib main loop, where the completion is
// called once. No state of its own.

#include <memory>
#include <string>

#include "desktop/desktop_consenting.h"

namespace vela {

class DesktopConsent : public DesktopConsenting {
 public:
  void request(std::chrono::milliseconds timeout, const std::string& operatorName,
               const std::string& brandName, const std::string& logoBase64, bool recording,
               Completion completion) override;

  // The dialog's texts, as shown.
  static std::string title(const std::string& brandName);
  static std::string message(const std::string& operatorName, bool recording);

  // The widget name, for finding the dialog in tests.
  static constexpr const char* kWidgetName = "vela-desktop-consent";
  // The response a timeout delivers.
  static constexpr int kTimedOut = -1001;
};

}  // namespace vela
