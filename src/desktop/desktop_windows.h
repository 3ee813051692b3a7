#pragma once

// The windows the person at the screen sees: the session banner, the consent dialog,
// the quick-assist windows and the first-start windows. Each is nullptr when this
// process can show no window right now (no display, or windows turned off), so a
// caller that must show one fails closed. Thread-safe.

#include <memory>

#include "config/onboarding.h"
#include "desktop/desktop_consenting.h"
#include "desktop/desktop_indicating.h"
#include "desktop/quick_assist_windows.h"

namespace vela {

class DesktopWindows {
 public:
  virtual ~DesktopWindows() = default;
  virtual std::shared_ptr<DesktopIndicating> indicator() = 0;
  virtual std::shared_ptr<DesktopConsenting> consent() = 0;
  virtual std::shared_ptr<QuickAssistWindows> quickAssist() = 0;
  virtual OnboardingWindows* onboarding() = 0;
};

}  // namespace vela
