// Lines of the "input" data channel as an operator could send them, into one clipboard
// assembler: whatever it hands on is whole text within the cap, and a refusal says why.
// A text the agent encodes itself must come back whole (as repaired UTF-8) from a fresh
// assembler.

#include "desktop/clipboard_messages.h"
#include "desktop/desktop_clipboard.h"
#include "fuzz_check.h"
#include "util/utf8.h"

using vela::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = vela::fuzz::text(data, size);
  vela::ClipboardAssembler assembler;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (auto outcome = assembler.add(line)) {
      if (outcome->text) check(outcome->text->size() <= vela::DesktopClipboard::kMaxBytes, "a text over the cap");
      if (outcome->refused) check(!outcome->refused->empty(), "a refusal says nothing");
    }
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  // Any bytes as clipboard text (an X client may offer ill-formed UTF-8): it arrives as
  // the JSON writer repairs it, never as invalid JSON.
  std::string copied(vela::fuzz::text(data, size));
  vela::UTF8::repair(copied);
  vela::ClipboardAssembler fresh;
  std::optional<std::string> whole;
  for (const auto& message : vela::ClipboardMessages::encode(copied, 7)) {
    auto outcome = fresh.add(message);
    check(outcome.has_value() && !outcome->refused, "the agent's own part is refused");
    if (outcome->text) whole = outcome->text;
  }
  check(whole == copied, "the agent's own text does not come back whole");
  return 0;
}
