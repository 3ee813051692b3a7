#pragma once

// The Linux input-event code of the key at the same physical place as a virtual key
// code of KeyCodeMap, for compositors that take keys by keycode (their own keymap then
// gives the symbol, so the person's layout stays right). Stateless.

#include <cstdint>
#include <optional>

namespace vela::evdev {

std::optional<std::uint32_t> keyForVirtualKey(std::uint16_t virtualKey);

}  // namespace vela::evdev
