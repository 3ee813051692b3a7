#include "commands/result_output.h"

namespace vela::ResultOutput {
namespace {

// Room kept for the truncation line itself.
constexpr std::size_t kNoteReserve = 64;

// What one byte of UTF-8 text costs once escaped in a JSON string.
std::size_t escapedSize(unsigned char c) {
  switch (c) {
    case '"': case '\\': case '\b': case '\t': case '\n': case '\f': case '\r':
      return 2;
    default:
      return c < 0x20 ? 6 : 1;
  }
}

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

Capped capped(std::string text, std::uint64_t alreadyDropped) {
  std::size_t total = 0;
  for (unsigned char c : text) total += escapedSize(c);
  if (alreadyDropped == 0 && total <= kMaxEscapedBytes) return {std::move(text), 0};

  const std::size_t budget = kMaxEscapedBytes - kNoteReserve;
  std::size_t start = text.size();
  std::size_t used = 0;
  while (start > 0) {
    std::size_t cost = escapedSize(static_cast<unsigned char>(text[start - 1]));
    if (used + cost > budget) break;
    used += cost;
    --start;
  }
  while (start < text.size() && isContinuation(static_cast<unsigned char>(text[start]))) ++start;
  std::uint64_t dropped = alreadyDropped + start;
  return {"[output truncated: " + std::to_string(dropped) + " bytes dropped]\n" + text.substr(start), start};
}

}  // namespace vela::ResultOutput
