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

// The UTF-8 length of a Unicode white-space or line-break character starting at `pos`
// (0 when there is none).
std::size_t whitespaceAt(std::string_view s, std::size_t pos) {
  unsigned char c = static_cast<unsigned char>(s[pos]);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  std::string_view rest = s.substr(pos);
  for (std::string_view space : {"\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\xA8",
                                 "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"}) {
    if (rest.starts_with(space)) return space.size();
  }
  // U+2000 to U+200A
  if (rest.size() >= 3 && c == 0xE2 && static_cast<unsigned char>(rest[1]) == 0x80 &&
      static_cast<unsigned char>(rest[2]) >= 0x80 && static_cast<unsigned char>(rest[2]) <= 0x8A) {
    return 3;
  }
  return 0;
}

// The length of a white-space character ending just before `end`, or 0.
std::size_t whitespaceBefore(std::string_view s, std::size_t end) {
  for (std::size_t length = 1; length <= 3 && length <= end; ++length) {
    if (whitespaceAt(s, end - length) == length) return length;
  }
  return 0;
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

std::string_view trimWhitespace(std::string_view s) {
  std::size_t begin = 0, end = s.size();
  while (begin < end) {
    std::size_t n = whitespaceAt(s, begin);
    if (n == 0) break;
    begin += n;
  }
  while (end > begin) {
    std::size_t n = whitespaceBefore(s, end);
    if (n == 0) break;
    end -= n;
  }
  return s.substr(begin, end - begin);
}

}  // namespace vela::UTF8
