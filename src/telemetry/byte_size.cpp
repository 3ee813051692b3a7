#include "telemetry/byte_size.h"

#include <cctype>
#include <cmath>
#include <string>

#include "util/text_fields.h"

namespace vela::ByteSize {
namespace {

// 2^64 as a double; anything at or above it does not fit.
constexpr double kLimit = 18446744073709551616.0;

std::optional<std::uint64_t> truncated(double v) {
  if (!std::isfinite(v) || v < 0 || v >= kLimit) return std::nullopt;
  return static_cast<std::uint64_t>(v);
}

}  // namespace

std::optional<std::uint64_t> parse(std::string_view text) {
  std::string_view digits = text.starts_with('+') ? text.substr(1) : text;
  if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos) {
    if (auto n = TextFields::parseUnsigned(digits)) return n;
  }
  auto parts = TextFields::splitBlanks(text);
  if (parts.empty()) return std::nullopt;
  std::string number(parts[0]);
  for (char& c : number) {
    if (c == ',') c = '.';
  }
  auto value = TextFields::parseDouble(number);
  if (!value) return std::nullopt;
  std::string unit = parts.size() > 1 ? std::string(parts[1]) : "B";
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  double multiplier = 1;
  if (unit == "TB") multiplier = 1e12;
  else if (unit == "GB") multiplier = 1e9;
  else if (unit == "MB") multiplier = 1e6;
  else if (unit == "KB") multiplier = 1e3;
  return truncated(*value * multiplier);
}

std::optional<std::uint64_t> fromJSON(const JSONValue& value) {
  if (auto n = value.uintValue()) return n;
  if (auto n = value.intValue()) {
    if (*n < 0) return std::nullopt;
    return static_cast<std::uint64_t>(*n);
  }
  // Fractions, exponents and integers beyond 64 bits.
  if (auto d = value.doubleValue()) return truncated(*d);
  if (const std::string* text = value.stringRef()) return parse(*text);
  return std::nullopt;
}

}  // namespace vela::ByteSize
