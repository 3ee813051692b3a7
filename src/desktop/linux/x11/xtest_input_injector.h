#pragma once

// XTestInputInjector posts the operator's input on an X display through the XTEST
// extension, on a connection of its own (Xlib connections are not shared across
// threads here; losing it ends nothing but the injection). Positions are root-window coordinates. Keys travel as keysyms of the
// US layout resolved to keycodes on the live display; a key the server's keymap lacks
// is dropped. Whatever it still holds pressed (buttons, keys) is released when it is
// destroyed, so a session that ends mid-drag leaves no stuck button behind.
// Not thread-safe: one session queue drives it.

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "desktop/input/input_injector.h"
#include "desktop/input/wheel_steps.h"
#include "util/agent_error.h"

struct _XDisplay;

namespace vela {

namespace x11 {
class Connection;
}

class XTestInputInjector final : public InputInjector {
 public:
  // Opens `displayName` ("" for $DISPLAY) and requires XTEST there.
  static Result<std::unique_ptr<XTestInputInjector>> create(const std::string& displayName = "");
  ~XTestInputInjector() override;
  XTestInputInjector(const XTestInputInjector&) = delete;
  XTestInputInjector& operator=(const XTestInputInjector&) = delete;

  void mouseMove(Point to) override;
  void mouseDown(Point at, Button button) override;
  void mouseUp(Point at, Button button) override;
  void mouseDrag(Point to, Button button) override;
  void scroll(std::int32_t dx, std::int32_t dy) override;
  void keyDown(std::uint16_t code, Modifiers flags) override;
  void keyUp(std::uint16_t code, Modifiers flags) override;

 private:
  explicit XTestInputInjector(std::unique_ptr<x11::Connection> connection);

  void moveTo(Point to);
  void postButton(unsigned button, bool down);
  void postWheel(WheelSteps& wheel, std::int32_t delta, unsigned positive, unsigned negative);
  void postKey(std::uint16_t code, Modifiers flags, bool down);
  void flush();

  const std::unique_ptr<x11::Connection> connection_;
  _XDisplay* const display_;
  std::set<unsigned> heldButtons_;
  std::set<unsigned> heldKeys_;
  WheelSteps wheelX_;
  WheelSteps wheelY_;
};

}  // namespace vela
