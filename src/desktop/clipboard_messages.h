#pragma once

// Clipboard text on the session's "input" data channel, both ways:
// {"t":"clip","id":N,"part":I,"parts":K,"text":"..."}. A text travels in parts of at
// most 48 KiB of UTF-8 (a data-channel message must stay small), cut on character
// boundaries, and is taken only whole and within DesktopClipboard::kMaxBytes.
// ClipboardAssembler is owned by one thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vela {

namespace ClipboardMessages {
constexpr std::size_t kPartBytes = 48 * 1024;
std::vector<std::string> encode(std::string_view text, std::uint64_t id);
}  // namespace ClipboardMessages

class ClipboardAssembler {
 public:
  struct Outcome {
    std::optional<std::string> text;  // a whole text arrived
    std::optional<std::string> refused;  // why a text was dropped (over the cap, malformed)
  };
  // Nothing for a message that is not a clipboard message (input, resolution).
  std::optional<Outcome> add(std::string_view message);

 private:
  std::uint64_t id_ = 0;
  std::int64_t next_ = -1;  // part expected next; -1 when no text is under way
  std::int64_t parts_ = 0;
  std::string text_;
};

}  // namespace vela
