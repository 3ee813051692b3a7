#include "identity/der.h"

#include <charconv>

namespace vela::DER {
namespace {

std::span<const std::uint8_t> asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes concatenated(std::uint8_t tag, const std::vector<Bytes>& elements) {
  Bytes value;
  for (const Bytes& element : elements) value.insert(value.end(), element.begin(), element.end());
  return tlv(tag, value);
}

void appendBase128(Bytes& out, std::uint64_t arc) {
  std::uint8_t groups[10];
  int count = 0;
  do {
    groups[count++] = arc & 0x7F;
    arc >>= 7;
  } while (arc != 0);
  while (count > 1) out.push_back(groups[--count] | 0x80);
  out.push_back(groups[0]);
}

}  // namespace

Bytes length(std::size_t n) {
  if (n < 128) return {static_cast<std::uint8_t>(n)};
  Bytes digits;
  for (std::size_t rest = n; rest != 0; rest >>= 8) {
    digits.insert(digits.begin(), static_cast<std::uint8_t>(rest & 0xFF));
  }
  digits.insert(digits.begin(), static_cast<std::uint8_t>(0x80 | digits.size()));
  return digits;
}

Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> value) {
  Bytes out{tag};
  Bytes len = length(value.size());
  out.insert(out.end(), len.begin(), len.end());
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes integer(std::int64_t value) {
  Bytes bytes;
  auto bits = static_cast<std::uint64_t>(value);
  for (int i = 7; i >= 0; --i) bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  // Drop leading bytes that only repeat the sign of the next one.
  std::size_t start = 0;
  while (start + 1 < bytes.size()) {
    bool redundantZero = bytes[start] == 0x00 && (bytes[start + 1] & 0x80) == 0;
    bool redundantOnes = bytes[start] == 0xFF && (bytes[start + 1] & 0x80) != 0;
    if (!redundantZero && !redundantOnes) break;
    ++start;
  }
  return tlv(Tag::integer, std::span(bytes).subspan(start));
}

Bytes integer(std::span<const std::uint8_t> rawPositive) {
  std::size_t start = 0;
  while (start < rawPositive.size() && rawPositive[start] == 0) ++start;
  auto magnitude = rawPositive.subspan(start);
  // A leading zero keeps a high first bit from reading as a sign.
  bool pad = magnitude.empty() || magnitude.front() >= 0x80;
  Bytes value(pad ? 1 : 0, 0x00);
  value.insert(value.end(), magnitude.begin(), magnitude.end());
  return tlv(Tag::integer, value);
}

Bytes bitString(std::span<const std::uint8_t> bytes, std::uint8_t unusedBits) {
  Bytes value{unusedBits};
  value.insert(value.end(), bytes.begin(), bytes.end());
  return tlv(Tag::bitString, value);
}

Bytes octetString(std::span<const std::uint8_t> bytes) { return tlv(Tag::octetString, bytes); }

Bytes null() { return {Tag::null, 0x00}; }

Bytes oid(std::string_view dotted) {
  std::vector<std::uint64_t> arcs;
  while (true) {
    std::size_t dot = dotted.find('.');
    std::string_view part = dotted.substr(0, dot);
    std::uint64_t arc = 0;
    std::from_chars(part.data(), part.data() + part.size(), arc);
    arcs.push_back(arc);
    if (dot == std::string_view::npos) break;
    dotted.remove_prefix(dot + 1);
  }
  Bytes value;
  appendBase128(value, 40 * arcs[0] + (arcs.size() > 1 ? arcs[1] : 0));
  for (std::size_t i = 2; i < arcs.size(); ++i) appendBase128(value, arcs[i]);
  return tlv(Tag::objectIdentifier, value);
}

Bytes utf8String(std::string_view text) { return tlv(Tag::utf8String, asBytes(text)); }
Bytes printableString(std::string_view text) { return tlv(Tag::printableString, asBytes(text)); }
Bytes sequence(const std::vector<Bytes>& elements) { return concatenated(Tag::sequence, elements); }
Bytes set(const std::vector<Bytes>& elements) { return concatenated(Tag::set, elements); }
Bytes contextConstructed(unsigned n, const std::vector<Bytes>& elements) {
  return concatenated(Tag::contextConstructed(n), elements);
}

}  // namespace vela::DER
