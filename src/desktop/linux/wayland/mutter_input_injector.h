#pragma once

// MutterInputInjector posts the operator's input through the remote-desktop session of
// one GnomeScreenCapturer (mutter and the desktop portal take input only in a session
// that casts a stream; both take the same events).
// Positions are global display coordinates, turned into the stream's and clamped to
// it; buttons go as evdev codes, keys as evdev keycodes so the session's own layout
// applies, the wheel as discrete steps. Input before the capture has started, or after
// it ended, is dropped. A fresh virtual device can lose its first event, so the first
// event of a session is preceded by harmless ones and a short pause. Reported modifiers
// not held are held around the key they came with, as on X11. Whatever is
// still held is released when it is destroyed. Not thread-safe: one session queue
// drives it.

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "desktop/input/input_injector.h"
#include "desktop/input/wheel_steps.h"
#include "desktop/linux/wayland/gnome_screen_capturer.h"

namespace vela {

class MutterInputInjector final : public InputInjector {
 public:
  explicit MutterInputInjector(std::weak_ptr<GnomeScreenCapturer> capturer);
  // The injector of `capturer`'s session, or nullptr (logged) when `capturer` is not a
  // Wayland one; `desktop` names who refuses input elsewhere in that log line.
  static std::unique_ptr<InputInjector> alongside(const std::shared_ptr<ScreenCapturer>& capturer,
                                                  const std::string& desktop);
  ~MutterInputInjector() override;

  void mouseMove(Point to) override;
  void mouseDown(Point at, Button button) override;
  void mouseUp(Point at, Button button) override;
  void mouseDrag(Point to, Button button) override;
  void scroll(std::int32_t dx, std::int32_t dy) override;
  void keyDown(std::uint16_t code, Modifiers flags) override;
  void keyUp(std::uint16_t code, Modifiers flags) override;
  std::string dropsInput() override;

  // Global display coordinates → the stream's, inside it.
  static Point toStream(Point global, const Displays::Info& display);

 private:
  std::shared_ptr<RemoteDesktopSession> session();
  void moveTo(const std::shared_ptr<RemoteDesktopSession>& session, Point to);
  void postButton(Point at, Button button, bool down);
  void postWheel(WheelSteps& wheel, std::int32_t delta, std::uint32_t axis);
  void postKey(std::uint16_t code, Modifiers flags, bool down);

  const std::weak_ptr<GnomeScreenCapturer> capturer_;
  std::weak_ptr<RemoteDesktopSession> warmed_;
  std::set<std::int32_t> heldButtons_;
  std::set<std::uint32_t> heldKeys_;
  WheelSteps wheelX_;
  WheelSteps wheelY_;
};

}  // namespace vela
