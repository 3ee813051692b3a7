#include "ui/gtk_desktop_windows.h"

#include "ui/desktop_consent.h"
#include "ui/desktop_indicator.h"
#include "ui/onboarding_windows.h"
#include "ui/quick_assist_window.h"
#include "ui/ui_runtime.h"

namespace vela {
namespace {

// Whether a window can be shown is asked anew each time: the display may come and go.
class GtkDesktopWindows final : public DesktopWindows {
 public:
  std::shared_ptr<DesktopIndicating> indicator() override {
    return UiRuntime::available() ? DesktopIndicator::create() : nullptr;
  }
  std::shared_ptr<DesktopConsenting> consent() override {
    return UiRuntime::available() ? std::make_shared<DesktopConsent>() : nullptr;
  }
  std::shared_ptr<QuickAssistWindows> quickAssist() override {
    return UiRuntime::available() ? std::make_shared<QuickAssistWindow>() : nullptr;
  }
  OnboardingWindows* onboarding() override {
    if (!UiRuntime::available()) return nullptr;
    static GtkOnboardingWindows windows;
    return &windows;
  }
};

}  // namespace

std::unique_ptr<DesktopWindows> makeGtkDesktopWindows() { return std::make_unique<GtkDesktopWindows>(); }

}  // namespace vela
