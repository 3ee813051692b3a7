#include "desktop/linux/wayland/gnome_desktop_screen.h"

#include <cstdlib>

#include "desktop/linux/wayland/gnome_screen_capturer.h"
#include "desktop/linux/wayland/mutter_bus.h"
#include "desktop/linux/wayland/mutter_input_injector.h"
#include "desktop/linux/wayland/mutter_monitors.h"
#include "desktop/linux/wayland/session_type.h"
#include "util/log.h"

namespace vela {
namespace {

class GnomeDesktopScreen final : public DesktopScreen {
 public:
  ScreenPermissions::Summary permissions() override {
    const bool usable = mutter::whyUnavailable().empty();
    return {usable, usable};
  }

  std::vector<Displays::Info> displays() override {
    auto bus = mutter::openSessionBus();
    if (!bus) return {};
    auto monitors = mutter::currentMonitors(bus->get());
    if (!monitors) {
      Log::warn("desktop: " + monitors.error().message);
      return {};
    }
    std::vector<Displays::Info> result;
    for (const auto& m : *monitors) result.push_back(m.info);
    return result;
  }

  std::shared_ptr<ScreenCapturer> makeCapturer(ScreenCapturer::Config config) override {
    return GnomeScreenCapturer::create(config);
  }

  std::unique_ptr<InputInjector> makeInjector(const std::shared_ptr<ScreenCapturer>& capturer) override {
    return MutterInputInjector::alongside(capturer, "mutter");
  }

  std::string name() override { return kGnomeBackendName; }
  std::string unusable() override { return mutter::whyUnavailable(); }
};

}  // namespace

bool gnomeServesThisSession() {
  if (SessionType::decide(SessionType::ofThisProcess()) != SessionType::Kind::wayland) return false;
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  if (desktop && SessionType::isGnomeDesktop(desktop)) return true;
  return mutter::whyUnavailable().empty();
}

std::unique_ptr<DesktopScreen> makeGnomeDesktopScreen() { return std::make_unique<GnomeDesktopScreen>(); }

}  // namespace vela
