#pragma once

// One line between a session-serving process and its window host (see window_host.h):
// a JSON object per LF-terminated line, read and written by desktop/ipc's IPCChannel,
// which bounds both the line and the queue behind it. Each banner and each consent
// request carries an id of the parent's choosing that the answers name again.
//   parent → host: banner {id, text, logo}, hide {id},
//                  consent {id, timeoutMs, operator, brand, logo, recording}
//   host → parent: ready (GTK opened the display), shown {id, on}, end {id},
//                  answer {id, accepted}
// Stateless.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vela {

struct WindowHostMessage {
  enum class Kind { ready, banner, hide, shown, end, consent, answer };

  Kind kind = Kind::ready;
  std::uint64_t id = 0;
  std::string text{};  // banner
  std::string logo{};  // banner, consent
  std::string operatorName{};
  std::string brandName{};
  std::int64_t timeoutMs = 0;
  // shown: on screen; answer: accepted; consent: the session is recorded.
  bool flag = false;

  std::string encode() const;
  // Nothing for a line that is not a message this side understands.
  static std::optional<WindowHostMessage> parse(std::string_view line);
};

}  // namespace vela
