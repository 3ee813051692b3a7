#pragma once

// Where a byte offset lies in a text, as an editor shows it: 1-based line and column,
// lines ended by "\n", columns counted in characters (UTF-8 sequences) so that a name
// with accents before the spot does not shift it. Stateless.

#include <cstddef>
#include <string_view>

namespace vela {

struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;

  // An offset at or past the end is the position just after the last character.
  static TextPosition of(std::string_view text, std::size_t offset);

  bool operator==(const TextPosition&) const = default;
};

}  // namespace vela
