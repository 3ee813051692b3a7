#include "desktop/linux/x11/xtest_input_injector.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "desktop/linux/x11/x11_connection.h"
#include "desktop/linux/x11/x11_keysyms.h"

namespace vela {

namespace {

// X numbers buttons 1 left, 2 middle, 3 right; the wheel is 4 up, 5 down, 6 left,
// 7 right.
constexpr unsigned kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;

unsigned xButton(InputInjector::Button button) {
  switch (button) {
    case InputInjector::Button::left:
      return 1;
    case InputInjector::Button::other:
      return 2;
    case InputInjector::Button::right:
      return 3;
  }
  return 1;
}

// The protocol carries 16-bit coordinates; the server confines the pointer to the root.
int coordinate(double value) {
  if (!(value > -32768.0)) return -32768;  // also NaN
  if (value >= 32767.0) return 32767;
  return static_cast<int>(std::floor(value));
}

constexpr std::array<std::pair<std::uint8_t, KeySym>, 4> kModifierKeys{{
    {InputEvent::Modifiers::control, XK_Control_L},
    {InputEvent::Modifiers::option, XK_Alt_L},
    {InputEvent::Modifiers::shift, XK_Shift_L},
    {InputEvent::Modifiers::command, XK_Super_L},
}};

}  // namespace

Result<std::unique_ptr<XTestInputInjector>> XTestInputInjector::create(
    const std::string& displayName) {
  // A Connection, so that the X server going away marks it lost instead of ending the
  // process (Xlib's default).
  auto connection = x11::Connection::open(displayName);
  if (!connection) {
    return fail("cannot open X display " +
                (displayName.empty() ? std::string("$DISPLAY") : displayName));
  }
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XTestQueryExtension((*connection)->display(), &eventBase, &errorBase, &major, &minor)) {
    return fail("the X display has no XTEST extension");
  }
  return std::unique_ptr<XTestInputInjector>(new XTestInputInjector(std::move(*connection)));
}

XTestInputInjector::XTestInputInjector(std::unique_ptr<x11::Connection> connection)
    : connection_(std::move(connection)), display_(connection_->display()) {}

XTestInputInjector::~XTestInputInjector() {
  if (connection_->lost()) return;
  for (unsigned key : heldKeys_) XTestFakeKeyEvent(display_, key, False, CurrentTime);
  for (unsigned button : heldButtons_) XTestFakeButtonEvent(display_, button, False, CurrentTime);
  // Closing the connection flushes what is still queued.
}

void XTestInputInjector::mouseMove(Point to) {
  moveTo(to);
  flush();
}

void XTestInputInjector::mouseDrag(Point to, Button) {
  // The server turns motion with a button down into a drag by itself.
  moveTo(to);
  flush();
}

void XTestInputInjector::mouseDown(Point at, Button button) {
  moveTo(at);
  postButton(xButton(button), true);
  flush();
}

void XTestInputInjector::mouseUp(Point at, Button button) {
  moveTo(at);
  postButton(xButton(button), false);
  flush();
}

void XTestInputInjector::scroll(std::int32_t dx, std::int32_t dy) {
  postWheel(wheelY_, dy, kWheelDown, kWheelUp);
  postWheel(wheelX_, dx, kWheelRight, kWheelLeft);
  flush();
}

void XTestInputInjector::keyDown(std::uint16_t code, Modifiers flags) {
  postKey(code, flags, true);
}

void XTestInputInjector::keyUp(std::uint16_t code, Modifiers flags) { postKey(code, flags, false); }

void XTestInputInjector::moveTo(Point to) {
  XTestFakeMotionEvent(display_, DefaultScreen(display_), coordinate(to.x), coordinate(to.y),
                       CurrentTime);
}

void XTestInputInjector::postButton(unsigned button, bool down) {
  XTestFakeButtonEvent(display_, button, down ? True : False, CurrentTime);
  if (down) {
    heldButtons_.insert(button);
  } else {
    heldButtons_.erase(button);
  }
}

void XTestInputInjector::postWheel(WheelSteps& wheel, std::int32_t delta, unsigned positive,
                                   unsigned negative) {
  const int clicks = wheel.add(delta);
  unsigned button = clicks > 0 ? positive : negative;
  for (int i = 0; i < std::abs(clicks); ++i) {
    XTestFakeButtonEvent(display_, button, True, CurrentTime);
    XTestFakeButtonEvent(display_, button, False, CurrentTime);
  }
}

void XTestInputInjector::postKey(std::uint16_t code, Modifiers flags, bool down) {
  auto keysym = x11::keysymForVirtualKey(code);
  if (!keysym) return;
  KeyCode key = XKeysymToKeycode(display_, *keysym);
  if (key == 0) return;
  // Modifiers the operator's browser reported but that are not already down here are
  // held just around this key; the modifier keys themselves go through as plain keys.
  std::vector<KeyCode> wrapped;
  for (const auto& [flag, modifierKeysym] : kModifierKeys) {
    if (!flags.contains(flag)) continue;
    KeyCode modifier = XKeysymToKeycode(display_, modifierKeysym);
    if (modifier == 0 || modifier == key || heldKeys_.contains(modifier)) continue;
    XTestFakeKeyEvent(display_, modifier, True, CurrentTime);
    wrapped.push_back(modifier);
  }
  XTestFakeKeyEvent(display_, key, down ? True : False, CurrentTime);
  if (down) {
    heldKeys_.insert(key);
  } else {
    heldKeys_.erase(key);
  }
  for (auto it = wrapped.rbegin(); it != wrapped.rend(); ++it) {
    XTestFakeKeyEvent(display_, *it, False, CurrentTime);
  }
  flush();
}

void XTestInputInjector::flush() { XFlush(display_); }

}  // namespace vela
