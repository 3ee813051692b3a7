#include "remote/oversize_frame.h"

#include "util/utf8.h"

namespace vela {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The string value of the first `"key":` in `text` whose value is a plain string.
std::optional<std::string> member(std::string_view text, std::string_view key) {
  const std::string quoted = std::string("\"").append(key).append("\"");
  for (std::size_t at = text.find(quoted); at != std::string_view::npos; at = text.find(quoted, at + 1)) {
    std::size_t i = at + quoted.size();
    while (i < text.size() && isSpace(text[i])) ++i;
    if (i >= text.size() || text[i] != ':') continue;
    ++i;
    while (i < text.size() && isSpace(text[i])) ++i;
    if (i >= text.size() || text[i] != '"') continue;
    std::size_t end = i + 1;
    while (end < text.size() && text[end] != '"' && text[end] != '\\' &&
           static_cast<unsigned char>(text[end]) >= 0x20) {
      ++end;
    }
    if (end >= text.size() || text[end] != '"') continue;
    // Ill-formed UTF-8 would come back repaired in the answer, naming another session.
    std::string_view value = text.substr(i + 1, end - i - 1);
    if (!UTF8::isValid(value)) continue;
    return std::string(value);
  }
  return std::nullopt;
}

std::optional<std::string> either(std::string_view head, std::string_view tail, std::string_view key) {
  if (auto value = member(head, key)) return value;
  return member(tail, key);
}

}  // namespace

std::optional<OversizeFrame> OversizeFrame::locate(std::string_view head, std::string_view tail) {
  auto type = either(head, tail, "type");
  auto session = either(head, tail, "session_id");
  if (!type || !session) return std::nullopt;
  return OversizeFrame{std::move(*type), std::move(*session)};
}

}  // namespace vela
