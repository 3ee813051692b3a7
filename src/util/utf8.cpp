#include "util/utf8.h"

namespace vela::UTF8 {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the well-formed sequence at `pos`, or 0 when it is ill-formed; then
// `subpart` is the length of the maximal ill-formed subpart to replace (at least 1).
std::size_t sequenceAt(std::string_view s, std::size_t pos, std::size_t& subpart) {
  auto byte = [&](std::size_t k) -> unsigned { return static_cast<unsigned char>(s[pos + k]); };
  unsigned lead = byte(0);
  subpart = 1;
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (pos + k >= s.size()) return 0;
    unsigned b = byte(k);
    unsigned low = k == 1 ? lo : 0x80;
    unsigned high = k == 1 ? hi : 0xBF;
    if (b < low || b > high) return 0;
    subpart = k + 1;
  }
  return length;
}

}  // namespace

void appendScalar(std::string& out, std::uint32_t scalar) {
  if (scalar < 0x80) {
    out += static_cast<char>(scalar);
  } else if (scalar < 0x800) {
    out += static_cast<char>(0xC0 | (scalar >> 6));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  } else if (scalar < 0x10000) {
    out += static_cast<char>(0xE0 | (scalar >> 12));
    out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (scalar >> 18));
    out += static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (scalar & 0x3F));
  }
}

std::size_t validPrefixLength(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    std::size_t subpart;
    std::size_t length = sequenceAt(bytes, pos, subpart);
    if (length == 0) return pos;
    pos += length;
  }
  return pos;
}

void repair(std::string& text) {
  std::size_t pos = validPrefixLength(text);
  if (pos == text.size()) return;
  std::string fixed(text, 0, pos);
  while (pos < text.size()) {
    std::size_t subpart;
    std::size_t length = sequenceAt(text, pos, subpart);
    if (length == 0) {
      fixed += kReplacement;
      pos += subpart;
    } else {
      fixed.append(text, pos, length);
      pos += length;
    }
  }
  text = std::move(fixed);
}

}  // namespace vela::UTF8
