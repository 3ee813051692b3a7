#include "desktop_module/window_host_message.h"

#include <algorithm>
#include <array>
#include <utility>

#include "util/canonical_json.h"
#include "util/json_document.h"

namespace vela {
namespace {

constexpr std::array<std::pair<WindowHostMessage::Kind, std::string_view>, 7> kNames{{
    {WindowHostMessage::Kind::ready, "ready"},
    {WindowHostMessage::Kind::banner, "banner"},
    {WindowHostMessage::Kind::hide, "hide"},
    {WindowHostMessage::Kind::shown, "shown"},
    {WindowHostMessage::Kind::end, "end"},
    {WindowHostMessage::Kind::consent, "consent"},
    {WindowHostMessage::Kind::answer, "answer"},
}};

// The member that carries `flag` for each kind that has one.
const char* flagName(WindowHostMessage::Kind kind) {
  switch (kind) {
    case WindowHostMessage::Kind::shown:
      return "on";
    case WindowHostMessage::Kind::answer:
      return "accepted";
    case WindowHostMessage::Kind::consent:
      return "recording";
    default:
      return nullptr;
  }
}

std::string stringOr(const JSONValue& object, std::string_view key) {
  const std::string* value = object.stringAt(key);
  return value ? *value : std::string();
}

}  // namespace

std::string WindowHostMessage::encode() const {
  JSONValue out{{"t", std::string(kNames[static_cast<std::size_t>(kind)].second)}};
  if (kind != Kind::ready) out.set("id", id);
  if (const char* name = flagName(kind)) out.set(name, flag);
  if (kind == Kind::banner) out.set("text", text);
  if (kind == Kind::banner || kind == Kind::consent) out.set("logo", logo);
  if (kind == Kind::consent) {
    out.set("timeoutMs", timeoutMs);
    out.set("operator", operatorName);
    out.set("brand", brandName);
  }
  return CanonicalJSON::encode(out);
}

std::optional<WindowHostMessage> WindowHostMessage::parse(std::string_view line) {
  auto document = JSONDocument::read(line);
  if (!document || !document->isObject()) return std::nullopt;
  const std::string* type = document->stringAt("t");
  if (!type) return std::nullopt;
  WindowHostMessage message;
  auto known = std::ranges::find(kNames, std::string_view(*type),
                                 &std::pair<Kind, std::string_view>::second);
  if (known == kNames.end()) return std::nullopt;
  message.kind = known->first;
  if (message.kind != Kind::ready) {
    const JSONValue* id = (*document)["id"];
    auto number = id ? id->uintValue() : std::nullopt;
    if (!number) return std::nullopt;
    message.id = *number;
  }
  if (const char* name = flagName(message.kind)) {
    const JSONValue* flag = (*document)[name];
    auto value = flag ? flag->boolValue() : std::nullopt;
    if (!value) return std::nullopt;
    message.flag = *value;
  }
  message.text = stringOr(*document, "text");
  message.logo = stringOr(*document, "logo");
  message.operatorName = stringOr(*document, "operator");
  message.brandName = stringOr(*document, "brand");
  if (const JSONValue* timeout = (*document)["timeoutMs"])
    message.timeoutMs = timeout->intValue().value_or(0);
  return message;
}

}  // namespace vela
