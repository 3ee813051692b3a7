#include "remote/oversize_frame.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

TEST(OversizeFrameTest, TypeAndSessionAreFoundAtEitherEndAndOnlyAsPlainStrings) {
  const std::string data(64, 'A');
  auto head = OversizeFrame::locate(R"({"type": "file.chunk", "session_id":"up-1","offset":0,"data":")" + data, data + "\"}");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->type, "file.chunk");
  EXPECT_EQ(head->sessionID, "up-1");
  // Python's json.dumps of a dict built with the data first puts the addressing last.
  auto tail = OversizeFrame::locate(R"({"data":")" + data, data + R"(","type":"file.chunk","session_id":"up-2"})");
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->sessionID, "up-2");
  // An id that is a number, holds an escape or is not UTF-8 is not taken; nothing found is nothing.
  EXPECT_FALSE(OversizeFrame::locate(R"({"note":"\"session_id\"","type":"file.chunk","session_id":1})", ""));
  EXPECT_FALSE(OversizeFrame::locate(R"({"type":"file.chunk","session_id":"a\"b"})", ""));
  EXPECT_FALSE(OversizeFrame::locate("{\"type\":\"file.chunk\",\"session_id\":\"\x8a\x8au1\"}", ""));
  EXPECT_EQ(OversizeFrame::locate(R"({"type":"file.chunk","session_id":"Größe ✓"})", "")->sessionID, "Größe ✓");
  EXPECT_FALSE(OversizeFrame::locate(std::string(4096, '{'), std::string(4096, '}')));
  EXPECT_FALSE(OversizeFrame::locate("", ""));
}

}  // namespace
}  // namespace vela
