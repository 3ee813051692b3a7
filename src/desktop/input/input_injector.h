#pragma once

// InputInjector posts synthetic pointer, wheel and key events into the window system
// on behalf of InputEvent::apply. Implementations live with the platform (XTest on
// Linux). Points are global display coordinates; key codes are the virtual key codes of
// KeyCodeMap. Failures to create or post an event are skipped silently: a lost input
// event is not worth ending a session for. Not thread-safe: a session drives its
// injector from its one queue.

#include <cstdint>
#include <optional>
#include <string>

#include "desktop/input/input_event.h"

namespace vela {

class InputInjector {
 public:
  struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
  };
  using Button = InputEvent::Button;
  using Modifiers = InputEvent::Modifiers;

  virtual ~InputInjector() = default;

  virtual void mouseMove(Point to) = 0;
  virtual void mouseDown(Point at, Button button) = 0;
  virtual void mouseUp(Point at, Button button) = 0;
  // A move while `button` is held.
  virtual void mouseDrag(Point to, Button button) = 0;
  // Browser wheel deltas in pixels: dy > 0 scrolls down, dx > 0 scrolls right.
  virtual void scroll(std::int32_t dx, std::int32_t dy) = 0;
  virtual void keyDown(std::uint16_t code, Modifiers flags) = 0;
  virtual void keyUp(std::uint16_t code, Modifiers flags) = 0;
  // Why everything posted here is dropped (the desktop refused input), or empty.
  virtual std::string dropsInput() { return ""; }

  // The button the operator holds, kept by InputEvent::apply so that moves become drags.
  std::optional<Button> pressedButton() const { return pressedButton_; }
  void setPressedButton(std::optional<Button> button) { pressedButton_ = button; }

 private:
  std::optional<Button> pressedButton_;
};

}  // namespace vela
