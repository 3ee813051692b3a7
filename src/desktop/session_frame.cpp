#include "desktop/session_frame.h"

#include "util/json_scanner.h"

namespace vela {

std::optional<SessionFrame> SessionFrame::parse(std::string_view text) {
  auto parsed = JSONScanner::parse(text);
  if (!parsed) return std::nullopt;
  const std::string* type = parsed->stringAt("type");
  const std::string* session = parsed->stringAt("session_id");
  if (!type || !session) return std::nullopt;
  std::string t = *type;
  std::string id = *session;
  return SessionFrame{std::move(*parsed), std::move(t), std::move(id)};
}

}  // namespace vela
