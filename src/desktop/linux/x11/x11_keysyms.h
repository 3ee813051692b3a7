#pragma once

// The X keysym of the key that carries each virtual key code of KeyCodeMap on a US
// layout. The injector resolves the keysym to a keycode on the live display, so the
// server's own keymap decides which physical key is pressed. Stateless.

#include <cstdint>
#include <optional>

namespace vela::x11 {

// The keysym (an X KeySym value), or nothing for a code outside KeyCodeMap.
std::optional<unsigned long> keysymForVirtualKey(std::uint16_t virtualKey);

}  // namespace vela::x11
