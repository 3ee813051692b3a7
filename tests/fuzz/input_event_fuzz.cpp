// Feeds arbitrary bytes to the data-channel decoders the way the session controller
// does (resolution request first, then input event) and applies every event to an
// injector that checks what reaches it. Beyond not crashing: positions are finite,
// key codes come from the key map, and the held button follows downs and ups.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "desktop/input/input_event.h"
#include "desktop/input/input_injector.h"
#include "desktop/input/key_code_map.h"
#include "desktop/input/resolution_request.h"
#include "fuzz_check.h"

namespace {

using vela::fuzz::violation;

bool mapped(std::uint16_t code) {
  return std::ranges::any_of(vela::KeyCodeMap::entries(), [code](const auto& e) { return e.virtualKey == code; });
}

class CheckingInjector final : public vela::InputInjector {
 public:
  void mouseMove(Point to) override { finite(to); }
  void mouseDown(Point at, Button) override { finite(at); }
  void mouseUp(Point at, Button) override { finite(at); }
  void mouseDrag(Point to, Button button) override {
    finite(to);
    if (pressedButton() != button) violation("drag without its button held");
  }
  void scroll(std::int32_t, std::int32_t) override {}
  void keyDown(std::uint16_t code, Modifiers flags) override { key(code, flags); }
  void keyUp(std::uint16_t code, Modifiers flags) override { key(code, flags); }

 private:
  static void finite(Point p) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) violation("non-finite position");
  }
  static void key(std::uint16_t code, Modifiers flags) {
    if (!mapped(code)) violation("key code outside the map");
    if (flags.rawValue > 15) violation("unknown modifier bits");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  if (auto request = vela::ResolutionRequest::decode(bytes)) {
    if (request->width < 1 || request->height < 1) violation("resolution below 1");
    if (vela::InputEvent::decode(bytes)) violation("a message decoded as both kinds");
    return 0;
  }
  auto event = vela::InputEvent::decode(bytes);
  if (!event) return 0;
  CheckingInjector injector;
  // A held button first, so that moves take the drag path too.
  injector.setPressedButton(vela::InputEvent::Button::right);
  event->apply(injector, {-1920, 0, 1920, 1080});
  const auto* down = std::get_if<vela::InputEvent::MouseDown>(&event->payload);
  if (down && injector.pressedButton() != down->button) violation("down does not hold its button");
  if (const auto* up = std::get_if<vela::InputEvent::MouseUp>(&event->payload)) {
    bool released = up->button == vela::InputEvent::Button::right;
    if (injector.pressedButton().has_value() == released) violation("up kept or dropped the wrong button");
  }
  return 0;
}
