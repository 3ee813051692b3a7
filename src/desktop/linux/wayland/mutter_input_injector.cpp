#include "desktop/linux/wayland/mutter_input_injector.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "desktop/linux/wayland/evdev_keys.h"
#include "util/log.h"

namespace vela {
namespace {

// Long enough for the session's clients to bind the new device (seen: ~0.3 s).
constexpr auto kWarmUp = std::chrono::milliseconds(300);

std::int32_t evdevButton(InputInjector::Button button) {
  switch (button) {
    case InputInjector::Button::right:
      return BTN_RIGHT;
    case InputInjector::Button::other:
      return BTN_MIDDLE;
    case InputInjector::Button::left:
      break;
  }
  return BTN_LEFT;
}

constexpr std::array<std::pair<std::uint8_t, std::uint32_t>, 4> kModifierKeys{{
    {InputInjector::Modifiers::control, KEY_LEFTCTRL},
    {InputInjector::Modifiers::option, KEY_LEFTALT},
    {InputInjector::Modifiers::shift, KEY_LEFTSHIFT},
    {InputInjector::Modifiers::command, KEY_LEFTMETA},
}};

}  // namespace

MutterInputInjector::MutterInputInjector(std::weak_ptr<GnomeScreenCapturer> capturer)
    : capturer_(std::move(capturer)) {}

std::unique_ptr<InputInjector> MutterInputInjector::alongside(const std::shared_ptr<ScreenCapturer>& capturer,
                                                              const std::string& desktop) {
  auto own = std::dynamic_pointer_cast<GnomeScreenCapturer>(capturer);
  if (!own) {
    Log::warn("desktop: no input injection: " + desktop + " takes input only alongside its own screen cast");
    return nullptr;
  }
  return std::make_unique<MutterInputInjector>(own);
}

MutterInputInjector::~MutterInputInjector() {
  auto live = warmed_.lock();
  if (!live) return;
  for (std::uint32_t key : heldKeys_) live->keyboardKeycode(key, false);
  for (std::int32_t button : heldButtons_) live->pointerButton(button, false);
}

InputInjector::Point MutterInputInjector::toStream(Point global, const Displays::Info& display) {
  // The last pixel row and column are the edge: mutter refuses positions outside.
  const double maxX = std::max(0, display.width - 1);
  const double maxY = std::max(0, display.height - 1);
  return {std::clamp(global.x - display.x, 0.0, maxX), std::clamp(global.y - display.y, 0.0, maxY)};
}

std::string MutterInputInjector::dropsInput() {
  auto capturer = capturer_.lock();
  auto live = capturer ? capturer->session() : nullptr;
  return live ? live->refusesInput() : "";
}

std::shared_ptr<RemoteDesktopSession> MutterInputInjector::session() {
  auto capturer = capturer_.lock();
  auto live = capturer ? capturer->session() : nullptr;
  if (!live || live == warmed_.lock()) return live;
  // A new session: harmless events first, which the fresh devices may swallow.
  const auto& info = live->display();
  live->pointerMotion(info.width / 2.0, info.height / 2.0);
  live->keyboardKeycode(KEY_LEFTSHIFT, true);
  live->keyboardKeycode(KEY_LEFTSHIFT, false);
  std::this_thread::sleep_for(kWarmUp);
  warmed_ = live;
  heldButtons_.clear();
  heldKeys_.clear();
  return live;
}

void MutterInputInjector::moveTo(const std::shared_ptr<RemoteDesktopSession>& session, Point to) {
  Point at = toStream(to, session->display());
  session->pointerMotion(at.x, at.y);
}

void MutterInputInjector::mouseMove(Point to) {
  if (auto live = session()) moveTo(live, to);
}

void MutterInputInjector::mouseDrag(Point to, Button) { mouseMove(to); }

void MutterInputInjector::mouseDown(Point at, Button button) { postButton(at, button, true); }

void MutterInputInjector::mouseUp(Point at, Button button) { postButton(at, button, false); }

void MutterInputInjector::postButton(Point at, Button button, bool down) {
  auto live = session();
  if (!live) return;
  moveTo(live, at);
  const std::int32_t code = evdevButton(button);
  live->pointerButton(code, down);
  if (down) {
    heldButtons_.insert(code);
  } else {
    heldButtons_.erase(code);
  }
}

void MutterInputInjector::scroll(std::int32_t dx, std::int32_t dy) {
  postWheel(wheelY_, dy, 0);
  postWheel(wheelX_, dx, 1);
}

void MutterInputInjector::postWheel(WheelSteps& wheel, std::int32_t delta, std::uint32_t axis) {
  const int clicks = wheel.add(delta);
  if (clicks == 0) return;
  if (auto live = session()) live->pointerAxisDiscrete(axis, clicks);
}

void MutterInputInjector::keyDown(std::uint16_t code, Modifiers flags) { postKey(code, flags, true); }

void MutterInputInjector::keyUp(std::uint16_t code, Modifiers flags) { postKey(code, flags, false); }

void MutterInputInjector::postKey(std::uint16_t code, Modifiers flags, bool down) {
  auto key = evdev::keyForVirtualKey(code);
  if (!key) return;
  auto live = session();
  if (!live) return;
  // Modifiers the operator's browser reported but that are not already down here are
  // held just around this key; the modifier keys themselves go through as plain keys.
  std::vector<std::uint32_t> wrapped;
  for (const auto& [flag, modifier] : kModifierKeys) {
    if (!flags.contains(flag) || modifier == *key || heldKeys_.contains(modifier)) continue;
    live->keyboardKeycode(modifier, true);
    wrapped.push_back(modifier);
  }
  live->keyboardKeycode(*key, down);
  if (down) {
    heldKeys_.insert(*key);
  } else {
    heldKeys_.erase(*key);
  }
  for (auto it = wrapped.rbegin(); it != wrapped.rend(); ++it) live->keyboardKeycode(*it, false);
}

}  // namespace vela
