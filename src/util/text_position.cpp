#include "util/text_position.h"

namespace vela {

TextPosition TextPosition::of(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  TextPosition position;
  for (std::size_t i = 0; i < offset; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++position.line;
      position.column = 1;
    } else if ((c & 0xC0) != 0x80) {  // not a continuation byte
      ++position.column;
    }
  }
  return position;
}

}  // namespace vela
