#include "desktop/clipboard_messages.h"

#include "desktop/desktop_clipboard.h"
#include "util/canonical_json.h"
#include "util/json_scanner.h"

namespace vela {

std::vector<std::string> ClipboardMessages::encode(std::string_view text, std::uint64_t id) {
  std::vector<std::string_view> parts;
  while (!text.empty() || parts.empty()) {
    std::size_t n = std::min(kPartBytes, text.size());
    // Never split a UTF-8 sequence: back off over continuation bytes.
    while (n < text.size() && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    if (n == 0) n = std::min(kPartBytes, text.size());
    parts.push_back(text.substr(0, n));
    text.remove_prefix(n);
    if (text.empty()) break;
  }
  std::vector<std::string> messages;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    messages.push_back(CanonicalJSON::encode(JSONValue{{"t", "clip"},
                                                       {"id", id},
                                                       {"part", i},
                                                       {"parts", parts.size()},
                                                       {"text", std::string(parts[i])}}));
  }
  return messages;
}

std::optional<ClipboardAssembler::Outcome> ClipboardAssembler::add(std::string_view message) {
  auto doc = JSONScanner::parse(message);
  if (!doc || !doc->isObject()) return std::nullopt;
  const std::string* t = doc->stringAt("t");
  if (!t || *t != "clip") return std::nullopt;
  const std::string* text = doc->stringAt("text");
  std::uint64_t id = (*doc)["id"] ? (*doc)["id"]->uintValue().value_or(0) : 0;
  std::int64_t part = (*doc)["part"] ? (*doc)["part"]->intValue().value_or(-1) : -1;
  std::int64_t parts = (*doc)["parts"] ? (*doc)["parts"]->intValue().value_or(0) : 0;
  constexpr std::int64_t kMaxParts = DesktopClipboard::kMaxBytes / ClipboardMessages::kPartBytes + 8;
  if (!text || parts < 1 || part < 0 || part >= parts) {
    next_ = -1;
    return Outcome{std::nullopt, "malformed clipboard message"};
  }
  constexpr const char* kOverCap = "clipboard text over the 1 MiB cap dropped";
  if (parts > kMaxParts) {
    next_ = -1;
    // Said once per text, however many parts follow.
    return part == 0 ? Outcome{std::nullopt, kOverCap} : Outcome{};
  }
  if (part == 0) {
    id_ = id;
    parts_ = parts;
    next_ = 0;
    text_.clear();
  }
  if (next_ != part || id_ != id || parts_ != parts) {
    next_ = -1;  // a part of a text whose start was dropped
    return Outcome{};
  }
  if (text_.size() + text->size() > DesktopClipboard::kMaxBytes) {
    next_ = -1;
    text_.clear();
    text_.shrink_to_fit();
    return Outcome{std::nullopt, kOverCap};
  }
  text_ += *text;
  if (++next_ < parts_) return Outcome{};
  next_ = -1;
  return Outcome{std::exchange(text_, {}), std::nullopt};
}

}  // namespace vela
