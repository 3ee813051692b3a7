#include "desktop/clipboard_messages.h"

#include <gtest/gtest.h>

#include "desktop/desktop_clipboard.h"

namespace vela {
namespace {

std::optional<std::string> roundTrip(const std::string& text, std::uint64_t id = 1) {
  ClipboardAssembler in;
  std::optional<std::string> out;
  for (const auto& m : ClipboardMessages::encode(text, id)) {
    auto outcome = in.add(m);
    EXPECT_TRUE(outcome);
    if (outcome && outcome->text) out = outcome->text;
  }
  return out;
}

TEST(ClipboardMessagesTest, TextsSplitOnCharacterBoundariesAndReassembleExactly) {
  EXPECT_EQ(roundTrip(""), "");
  std::string euros;
  for (int i = 0; i < 40'000; ++i) euros += "€";  // 3 bytes each: parts must not cut one
  auto messages = ClipboardMessages::encode(euros, 5);
  EXPECT_EQ(messages.size(), 3u);
  for (const auto& m : messages) EXPECT_LT(m.size(), 64u * 1024 * 6);
  EXPECT_EQ(roundTrip(euros), euros);
  EXPECT_EQ(roundTrip(std::string(DesktopClipboard::kMaxBytes, 'a')).value().size(), DesktopClipboard::kMaxBytes);
}

TEST(ClipboardMessagesTest, OversizedMalformedAndStrayPartsAreDroppedAndTheNextTextStillArrives) {
  ClipboardAssembler in;
  EXPECT_FALSE(in.add(R"({"t":"m","x":0.5})"));  // input is not ours
  EXPECT_EQ(in.add(R"({"t":"clip","id":1,"part":0,"parts":0,"text":""})")->refused, "malformed clipboard message");
  EXPECT_FALSE(in.add(R"({"t":"clip","id":1,"part":1,"parts":2,"text":"x"})")->text);  // its start never came
  // 100 MiB offered: refused once past the cap, the parts after it ignored.
  std::string huge(100u << 20, 'h');
  int refusals = 0;
  bool arrived = false;
  auto parts = ClipboardMessages::encode(std::string_view(huge).substr(0, 2u << 20), 9);
  for (const auto& m : parts) {
    auto outcome = in.add(m);
    refusals += outcome->refused.has_value();
    arrived |= outcome->text.has_value();
  }
  EXPECT_EQ(refusals, 1);
  EXPECT_FALSE(arrived);
  for (const auto& m : ClipboardMessages::encode("small", 10)) {
    auto outcome = in.add(m);
    ASSERT_TRUE(outcome->text);
    EXPECT_EQ(*outcome->text, "small");
  }
}

}  // namespace
}  // namespace vela
