#include "util/json_value.h"

#include <charconv>
#include <locale.h>
#include <stdlib.h>

#include <cmath>
#include <limits>
#include <system_error>

namespace vela {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

JSONValue::JSONValue(double d) : storage_(nullptr) {
  if (!std::isfinite(d)) return;
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
  if (ec == std::errc()) storage_ = Number{std::string(buffer, end)};
}

const JSONValue* JSONValue::operator[](std::string_view key) const {
  const Object* members = objectValue();
  if (members == nullptr) return nullptr;
  auto it = members->find(key);
  return it == members->end() ? nullptr : &it->second;
}

const std::string* JSONValue::stringAt(std::string_view key) const {
  const JSONValue* member = (*this)[key];
  return member == nullptr ? nullptr : member->stringRef();
}

std::optional<std::string> JSONValue::stringValue() const {
  if (const std::string* s = stringRef()) return *s;
  return std::nullopt;
}

const std::string* JSONValue::numberText() const {
  const Number* n = std::get_if<Number>(&storage_);
  return n == nullptr ? nullptr : &n->text;
}

std::optional<std::int64_t> JSONValue::intValue() const {
  const std::string* text = numberText();
  if (text == nullptr || text->empty()) return std::nullopt;
  std::string_view digits = *text;
  bool negative = false;
  if (digits[0] == '+' || digits[0] == '-') {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  // Accumulate as a negative magnitude so that INT64_MIN is reachable.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (char c : digits) {
    if (!isDigit(c)) return std::nullopt;
    int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == kMin) return std::nullopt;
  return -value;
}

std::optional<std::uint64_t> JSONValue::uintValue() const {
  const std::string* text = numberText();
  if (text == nullptr || text->empty()) return std::nullopt;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (char c : *text) {
    if (!isDigit(c)) return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<double> JSONValue::doubleValue() const {
  const std::string* text = numberText();
  if (text == nullptr || text->empty()) return std::nullopt;
  // Decimal notation only: strtod would also take white space, hex, "inf" and "nan",
  // none of which a scanned number can hold, and a built one must not either.
  for (char c : *text) {
    if (!isDigit(c) && c != '.' && c != 'e' && c != 'E' && c != '+' && c != '-') return std::nullopt;
  }
  const char* begin = text->c_str();
  // strtod_l with the C locale: the process locale must not change the decimal mark.
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  char* end = nullptr;
  double value = strtod_l(begin, &end, cLocale);
  if (end != begin + text->size() || end == begin) return std::nullopt;
  return value;
}

std::optional<bool> JSONValue::boolValue() const {
  const bool* b = std::get_if<bool>(&storage_);
  return b == nullptr ? std::nullopt : std::optional<bool>(*b);
}

JSONValue& JSONValue::set(std::string key, JSONValue value) {
  if (!isObject()) storage_ = Object{};
  std::get<Object>(storage_).insert_or_assign(std::move(key), std::move(value));
  return *this;
}

JSONValue& JSONValue::append(JSONValue element) {
  if (!isArray()) storage_ = Array{};
  std::get<Array>(storage_).push_back(std::move(element));
  return *this;
}

Result<std::string, MemberError> requiredString(const JSONValue& object, std::string_view key) {
  const JSONValue* member = object[key];
  if (member != nullptr) {
    if (const std::string* text = member->stringRef()) return *text;
  }
  const auto kind = member == nullptr   ? MemberError::Kind::missing
                    : member->isNull() ? MemberError::Kind::null
                                       : MemberError::Kind::wrongType;
  return tl::unexpected(MemberError{kind, std::string(key)});
}

}  // namespace vela
