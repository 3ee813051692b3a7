#include "desktop/linux/x11/x11_desktop_screen.h"

#include "desktop/linux/x11/x11_clipboard.h"
#include "desktop/linux/x11/x11_screen.h"
#include "desktop/linux/x11/x11_screen_capturer.h"
#include "desktop/linux/x11/xtest_input_injector.h"
#include "util/log.h"

namespace vela {
namespace {

class X11DesktopScreen final : public DesktopScreen {
 public:
  ScreenPermissions::Summary permissions() override { return x11::screenPermissions(); }
  std::vector<Displays::Info> displays() override { return x11::activeDisplays(); }
  std::shared_ptr<ScreenCapturer> makeCapturer(ScreenCapturer::Config config) override {
    return X11ScreenCapturer::create(config);
  }
  std::unique_ptr<InputInjector> makeInjector(const std::shared_ptr<ScreenCapturer>&) override {
    auto injector = XTestInputInjector::create();
    if (!injector) {
      Log::warn("desktop: no input injection: " + injector.error().message);
      return nullptr;
    }
    return std::move(*injector);
  }
  std::string name() override { return "x11"; }
  std::shared_ptr<DesktopClipboard> makeClipboard() override { return makeX11Clipboard(); }
};

}  // namespace

std::unique_ptr<DesktopScreen> makeX11DesktopScreen() { return std::make_unique<X11DesktopScreen>(); }

}  // namespace vela
