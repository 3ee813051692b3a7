#include "desktop_module/wayland_desktop_windows.h"

#include <cstdlib>

#include "desktop_module/window_host_client.h"
#include "ui/gtk_desktop_windows.h"
#include "util/log.h"
#include "util/mutex.h"
#include "util/no_ui.h"

namespace vela {
namespace {

class WaylandDesktopWindows final : public DesktopWindows {
 public:
  std::shared_ptr<DesktopIndicating> indicator() override {
    auto running = host();
    return running ? running->makeIndicator() : nullptr;
  }
  std::shared_ptr<DesktopConsenting> consent() override {
    auto running = host();
    return running ? running->makeConsent() : nullptr;
  }
  std::shared_ptr<QuickAssistWindows> quickAssist() override { return inProcess_->quickAssist(); }
  OnboardingWindows* onboarding() override { return inProcess_->onboarding(); }

 private:
  // One host for all of this process's sessions while any of them holds a window; a
  // new one once it ended, as the compositor may be back.
  std::shared_ptr<WindowHostClient> host() EXCLUDES(lock_) {
    if (uiTurnedOff()) return nullptr;
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (!display || !*display) {
      Log::info(
          "desktop: no banner or consent dialog: no Wayland display (WAYLAND_DISPLAY is not set)");
      return nullptr;
    }
    MutexLock guard(lock_);
    if (auto running = host_.lock(); running && running->alive()) return running;
    auto started = WindowHostClient::start();
    if (!started) {
      Log::warn("desktop: no banner or consent dialog: " + started.error().message);
      return nullptr;
    }
    host_ = *started;
    return *started;
  }

  const std::unique_ptr<DesktopWindows> inProcess_ = makeGtkDesktopWindows();
  Mutex lock_;
  std::weak_ptr<WindowHostClient> host_ GUARDED_BY(lock_);
};

}  // namespace

std::unique_ptr<DesktopWindows> makeWaylandDesktopWindows() {
  return std::make_unique<WaylandDesktopWindows>();
}

}  // namespace vela
