#pragma once

// Whom a frame too large to read was meant for. Such a frame is never parsed; its
// `type` and `session_id` are looked for in the bytes the WebSocket client kept of its
// start and end, so that its service can answer the operator instead of leaving a
// transfer waiting for a frame that will never count. Strings with escapes are not
// taken: a real session id and type have none.

#include <optional>
#include <string>
#include <string_view>

namespace vela {

struct OversizeFrame {
  std::string type;
  std::string sessionID;

  // Both members found in `head` (the frame's first bytes) or `tail` (its last), or nothing.
  static std::optional<OversizeFrame> locate(std::string_view head, std::string_view tail);
};

}  // namespace vela
