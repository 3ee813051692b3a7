#include "util/text_fields.h"

#include <charconv>
#include <cmath>

namespace vela::TextFields {
namespace {
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
}  // namespace

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> splitBlanks(std::string_view s) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && isBlank(s[i])) ++i;
    std::size_t start = i;
    while (i < s.size() && !isBlank(s[i])) ++i;
    if (i > start) parts.push_back(s.substr(start, i - start));
  }
  return parts;
}

std::optional<double> parseDouble(std::string_view s) {
  s = trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  double v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<std::uint64_t> parseUnsigned(std::string_view s) {
  s = trim(s);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::map<std::string, std::string, std::less<>> colonFields(std::string_view text) {
  std::map<std::string, std::string, std::less<>> fields;
  while (!text.empty()) {
    auto eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    auto key = trim(line.substr(0, colon));
    if (key.empty()) continue;
    fields.emplace(std::string(key), std::string(trim(line.substr(colon + 1))));
  }
  return fields;
}

std::optional<std::string> shellVariable(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    auto eol = text.find('\n');
    std::string_view line = trim(text.substr(0, eol));
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    if (line.size() <= key.size() || !line.starts_with(key) || line[key.size()] != '=') continue;
    std::string_view raw = line.substr(key.size() + 1);
    std::string value;
    char quote = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      char c = raw[i];
      if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else if (quote != 0 && c == quote) {
        quote = 0;
      } else if (c == '\\' && quote != '\'' && i + 1 < raw.size()) {
        value.push_back(raw[++i]);
      } else {
        value.push_back(c);
      }
    }
    return value;
  }
  return std::nullopt;
}

}  // namespace vela::TextFields
