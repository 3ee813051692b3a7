#include "remote/shell_frames.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

using Open = IncomingShellFrame::Open;

// What the fields hold when they come through is the fuzz target's round trip; these
// are the values they take when they do not.
TEST(ShellFramesTest, MissingOrWrongTypedSizesAndShellTakeDefaults) {
  auto open = IncomingShellFrame::parse(R"({"type":"shell.open","session_id":"s1"})");
  ASSERT_TRUE(open);
  EXPECT_EQ(std::get<Open>(open->payload), (Open{"s1", "auto", 80, 24}));

  auto resize = IncomingShellFrame::parse(
      R"({"type":"shell.resize","session_id":"s1","cols":100,"rows":"40"})");
  ASSERT_TRUE(resize);
  EXPECT_EQ(std::get<IncomingShellFrame::Resize>(resize->payload),
            (IncomingShellFrame::Resize{"s1", 100, 24}));
}

// Frames without a string type and session are rejected; bad stdin data still yields a
// frame, with no bytes.
TEST(ShellFramesTest, RejectsFramesWithoutStringTypeAndSessionKeepsBadStdin) {
  for (const char* text : {R"({"type":"shell.open","session_id":7})", R"({"type":["shell.open"],"session_id":"s"})",
                           R"({"type":"shell.opened","session_id":"s"})", R"(["shell.open"])",
                           R"({"type":"shell.open","session_id":"s")"}) {
    EXPECT_FALSE(IncomingShellFrame::parse(text)) << text;
  }
  for (const char* text : {R"({"type":"shell.stdin","session_id":"s","data":"%%%"})",
                           R"({"type":"shell.stdin","session_id":"s","data":12})"}) {
    auto frame = IncomingShellFrame::parse(text);
    ASSERT_TRUE(frame) << text;
    EXPECT_TRUE(std::get<IncomingShellFrame::Stdin>(frame->payload).data.empty()) << text;
  }
}

TEST(ShellFramesTest, EncodesCanonicallyWithVersion) {
  EXPECT_EQ((OutgoingShellFrame{OutgoingShellFrame::Opened{"s1", 4242, "/bin/zsh"}}.json()),
            R"({"pid":4242,"session_id":"s1","shell":"/bin/zsh","type":"shell.opened","v":1})");
  EXPECT_EQ((OutgoingShellFrame{OutgoingShellFrame::Stdout{"s1", toBytes("hi\n")}}.json()),
            R"({"data":"aGkK","session_id":"s1","type":"shell.stdout","v":1})");
  EXPECT_EQ((OutgoingShellFrame{OutgoingShellFrame::Error{"s\"1", "too_many_sessions", "cap"}}.json()),
            R"({"code":"too_many_sessions","message":"cap","session_id":"s\"1","type":"shell.error","v":1})");
}

}  // namespace
}  // namespace vela
