#pragma once

// InputEvent is one operator input from the "input" data channel: a pointer move,
// button, wheel or key event, decoded from a small JSON message and applied to a
// display through an InputInjector. Decoding never fails loudly: anything malformed or
// unknown yields nothing, because the browser is not trusted and a bad message must
// only be dropped. Plain values; safe to use from any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

namespace vela {

class InputInjector;
class JSONValue;

// A rectangle in global display coordinates: the captured display's origin and size.
struct DisplayBounds {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

class InputEvent {
 public:
  // The browser's numbering: 0 left, 1 middle ("other"), 2 right.
  enum class Button { left, right, other };

  struct Modifiers {
    static constexpr std::uint8_t command = 1;
    static constexpr std::uint8_t shift = 2;
    static constexpr std::uint8_t option = 4;
    static constexpr std::uint8_t control = 8;

    std::uint8_t rawValue = 0;

    bool contains(std::uint8_t flag) const { return (rawValue & flag) != 0; }
    // The `mods` member of a key message; each flag counts only when it is JSON true,
    // and anything but an object gives no flags.
    static Modifiers from(const JSONValue* object);
    bool operator==(const Modifiers&) const = default;
  };

  // Positions are fractions of the display, as the browser measured them.
  struct MouseMove {
    double x = 0, y = 0;
    bool operator==(const MouseMove&) const = default;
  };
  struct MouseDown {
    double x = 0, y = 0;
    Button button = Button::left;
    bool operator==(const MouseDown&) const = default;
  };
  struct MouseUp {
    double x = 0, y = 0;
    Button button = Button::left;
    bool operator==(const MouseUp&) const = default;
  };
  struct Scroll {
    std::int32_t dx = 0, dy = 0;
    bool operator==(const Scroll&) const = default;
  };
  struct KeyDown {
    std::uint16_t code = 0;
    Modifiers mods;
    bool operator==(const KeyDown&) const = default;
  };
  struct KeyUp {
    std::uint16_t code = 0;
    Modifiers mods;
    bool operator==(const KeyUp&) const = default;
  };

  using Payload = std::variant<MouseMove, MouseDown, MouseUp, Scroll, KeyDown, KeyUp>;
  Payload payload;

  static std::optional<InputEvent> decode(std::string_view bytes);
  static std::optional<InputEvent> decode(std::span<const std::uint8_t> bytes);
  // For a message the caller has already parsed (it tries ResolutionRequest first).
  static std::optional<InputEvent> fromJSON(const JSONValue& message);

  // Executes the event against `display`; the injector keeps the held button between
  // events, so one injector must see a session's events in order.
  void apply(InputInjector& injector, const DisplayBounds& display) const;

  bool operator==(const InputEvent&) const = default;
};

}  // namespace vela
