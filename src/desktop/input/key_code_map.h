#pragma once

// KeyCodeMap translates the browser's KeyboardEvent.code names into the virtual key
// codes of the same physical key on an ANSI keyboard (the standard Mac virtual key
// codes, which the wire protocol uses on every platform). The table is fixed and built
// once on first use; lookups are safe from any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vela {

namespace KeyCodeMap {

struct Entry {
  std::string_view code;
  std::uint16_t virtualKey;
};

// Nothing for names outside the table (IntlBackslash, F13 and above, media keys).
std::optional<std::uint16_t> virtualKey(std::string_view jsCode);
// Every entry, for platform injectors that map the virtual codes onward.
std::span<const Entry> entries();

}  // namespace KeyCodeMap

}  // namespace vela
