#pragma once

// One capture backend: what the screen of this session allows, which displays it has,
// and the capturer and input injector that work on it. A backend serves one kind of
// session (X11, GNOME under Wayland); the module picks it from its table of backends.
// Thread-safe.

#include <memory>
#include <string>
#include <vector>

#include "desktop/desktop_clipboard.h"
#include "desktop/input/input_injector.h"
#include "desktop/screen_capturer.h"
#include "desktop/screen_types.h"

namespace vela {

class DesktopScreen {
 public:
  virtual ~DesktopScreen() = default;
  virtual ScreenPermissions::Summary permissions() = 0;
  virtual std::vector<Displays::Info> displays() = 0;
  virtual std::shared_ptr<ScreenCapturer> makeCapturer(ScreenCapturer::Config config) = 0;
  // Posts the operator's input on this screen, or nullptr (logged) when it cannot.
  // `capturer` is the session's own: some desktops take input only in the session
  // that casts the screen.
  virtual std::unique_ptr<InputInjector> makeInjector(const std::shared_ptr<ScreenCapturer>& capturer) = 0;
  // What desktop-probe calls the backend ("x11", "wayland (GNOME remote desktop)").
  virtual std::string name() = 0;
  // Why the backend cannot serve its session right now, or empty.
  virtual std::string unusable() { return ""; }
  // Why an unattended session (nobody asked at the screen) cannot run on this backend,
  // or empty when it can. Such a session is refused before anything is captured.
  virtual std::string refusesUnattended() { return ""; }
  // The screen's clipboard for one session, or nullptr when this backend has none.
  virtual std::shared_ptr<DesktopClipboard> makeClipboard() { return nullptr; }
};

}  // namespace vela
