#include "desktop/input/input_event.h"

#include <cmath>
#include <limits>
#include <string>

#include "desktop/input/input_injector.h"
#include "desktop/input/key_code_map.h"
#include "util/json_scanner.h"
#include "util/overloaded.h"

namespace vela {

namespace {

// A finite number, else nothing. Texts like 1e999 read as infinity, which no position
// or wheel delta can mean.
std::optional<double> finiteNumber(const JSONValue* value) {
  if (value == nullptr) return std::nullopt;
  auto number = value->doubleValue();
  if (!number || !std::isfinite(*number)) return std::nullopt;
  return number;
}

double fraction(const JSONValue& message, std::string_view key) {
  return finiteNumber(message[key]).value_or(0);
}

// Absent is 0; anything else must be a number whose integral part fits 32 bits.
std::optional<std::int32_t> wheelDelta(const JSONValue& message, std::string_view key) {
  const JSONValue* value = message[key];
  if (value == nullptr) return 0;
  auto number = finiteNumber(value);
  if (!number) return std::nullopt;
  double whole = std::trunc(*number);
  if (whole < std::numeric_limits<std::int32_t>::min() ||
      whole > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(whole);
}

bool isString(const JSONValue* value, std::string_view text) {
  return value != nullptr && value->isString() && *value->stringRef() == text;
}

using Button = InputEvent::Button;

Button buttonFrom(const JSONValue* value) {
  auto number = value == nullptr ? std::nullopt : value->intValue();
  if (number == 2) return Button::right;
  if (number == 1) return Button::other;
  return Button::left;
}

std::optional<InputEvent> mouseEvent(const JSONValue& message) {
  double x = fraction(message, "x");
  double y = fraction(message, "y");
  const JSONValue* kind = message["e"];
  Button button = buttonFrom(message["b"]);
  if (isString(kind, "down")) return InputEvent{InputEvent::MouseDown{x, y, button}};
  if (isString(kind, "up")) return InputEvent{InputEvent::MouseUp{x, y, button}};
  return InputEvent{InputEvent::MouseMove{x, y}};
}

std::optional<InputEvent> scrollEvent(const JSONValue& message) {
  auto dx = wheelDelta(message, "dx");
  auto dy = wheelDelta(message, "dy");
  if (!dx || !dy) return std::nullopt;
  return InputEvent{InputEvent::Scroll{*dx, *dy}};
}

std::optional<InputEvent> keyEvent(const JSONValue& message) {
  const JSONValue* code = message["code"];
  if (code == nullptr || !code->isString()) return std::nullopt;
  auto virtualKey = KeyCodeMap::virtualKey(*code->stringRef());
  if (!virtualKey) return std::nullopt;
  auto mods = InputEvent::Modifiers::from(message["mods"]);
  if (isString(message["e"], "up")) return InputEvent{InputEvent::KeyUp{*virtualKey, mods}};
  return InputEvent{InputEvent::KeyDown{*virtualKey, mods}};
}

}  // namespace

InputEvent::Modifiers InputEvent::Modifiers::from(const JSONValue* object) {
  Modifiers mods;
  if (object == nullptr || !object->isObject()) return mods;
  auto isTrue = [&](std::string_view key) {
    const JSONValue* member = (*object)[key];
    return member != nullptr && member->boolValue() == true;
  };
  if (isTrue("ctrl")) mods.rawValue |= control;
  if (isTrue("alt")) mods.rawValue |= option;
  if (isTrue("shift")) mods.rawValue |= shift;
  if (isTrue("meta")) mods.rawValue |= command;
  return mods;
}

std::optional<InputEvent> InputEvent::decode(std::string_view bytes) {
  auto message = JSONScanner::parse(bytes);
  if (!message) return std::nullopt;
  return fromJSON(*message);
}

std::optional<InputEvent> InputEvent::decode(std::span<const std::uint8_t> bytes) {
  return decode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<InputEvent> InputEvent::fromJSON(const JSONValue& message) {
  const JSONValue* kind = message["t"];
  if (kind == nullptr || !kind->isString()) return std::nullopt;
  const std::string& t = *kind->stringRef();
  if (t == "m") return mouseEvent(message);
  if (t == "w") return scrollEvent(message);
  if (t == "k") return keyEvent(message);
  return std::nullopt;
}

void InputEvent::apply(InputInjector& injector, const DisplayBounds& display) const {
  auto at = [&](double x, double y) {
    return InputInjector::Point{display.x + display.width * x, display.y + display.height * y};
  };
  std::visit(Overloaded{
                 [&](const MouseMove& e) {
                   if (auto held = injector.pressedButton()) {
                     injector.mouseDrag(at(e.x, e.y), *held);
                   } else {
                     injector.mouseMove(at(e.x, e.y));
                   }
                 },
                 [&](const MouseDown& e) {
                   injector.setPressedButton(e.button);
                   injector.mouseDown(at(e.x, e.y), e.button);
                 },
                 [&](const MouseUp& e) {
                   injector.mouseUp(at(e.x, e.y), e.button);
                   if (injector.pressedButton() == e.button) {
                     injector.setPressedButton(std::nullopt);
                   }
                 },
                 [&](const Scroll& e) { injector.scroll(e.dx, e.dy); },
                 [&](const KeyDown& e) { injector.keyDown(e.code, e.mods); },
                 [&](const KeyUp& e) { injector.keyUp(e.code, e.mods); },
             },
             payload);
}

}  // namespace vela
