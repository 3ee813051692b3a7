#include "remote/shell_frames.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

using Open = IncomingShellFrame::Open;

TEST(ShellFramesTest, ParsesEachFrameTypeWithDefaults) {
  auto open = IncomingShellFrame::parse(R"({"type":"shell.open","session_id":"s1"})");
  ASSERT_TRUE(open);
  EXPECT_EQ(std::get<Open>(open->payload), (Open{"s1", "auto", 80, 24}));

  auto full = IncomingShellFrame::parse(
      R"({"type":"shell.open","session_id":"s2","shell":"/bin/sh","cols":132,"rows":50,"x":1})");
  ASSERT_TRUE(full);
  EXPECT_EQ(std::get<Open>(full->payload), (Open{"s2", "/bin/sh", 132, 50}));

  auto resize = IncomingShellFrame::parse(
      R"({"type":"shell.resize","session_id":"s1","cols":100,"rows":"40"})");
  ASSERT_TRUE(resize);
  EXPECT_EQ(std::get<IncomingShellFrame::Resize>(resize->payload),
            (IncomingShellFrame::Resize{"s1", 100, 24}));

  auto close = IncomingShellFrame::parse(R"({"type":"shell.close","session_id":"s1"})");
  ASSERT_TRUE(close);
  EXPECT_EQ(std::get<IncomingShellFrame::Close>(close->payload).reason, "teardown");

  auto stdinFrame = IncomingShellFrame::parse(
      R"({"type":"shell.stdin","session_id":"s1","data":"aGVsbG8K"})");
  ASSERT_TRUE(stdinFrame);
  EXPECT_EQ(std::get<IncomingShellFrame::Stdin>(stdinFrame->payload).data, toBytes("hello\n"));
}

// Frames without a string type and session are rejected; bad stdin data still yields a
// frame, with no bytes.
TEST(ShellFramesTest, RejectsFramesWithoutStringTypeAndSessionKeepsBadStdin) {
  for (const char* text : {R"({"type":"shell.open","session_id":7})", R"({"type":"shell.open"})",
                           R"({"session_id":"s"})", R"({"type":["shell.open"],"session_id":"s"})",
                           R"({"type":"shell.opened","session_id":"s"})", R"({"type":"desktop.open","session_id":"s"})",
                           R"(["shell.open"])", R"({"type":"shell.open","session_id":"s")", ""}) {
    EXPECT_FALSE(IncomingShellFrame::parse(text)) << text;
  }
  for (const char* text : {R"({"type":"shell.stdin","session_id":"s","data":"%%%"})",
                           R"({"type":"shell.stdin","session_id":"s","data":12})",
                           R"({"type":"shell.stdin","session_id":"s"})"}) {
    auto frame = IncomingShellFrame::parse(text);
    ASSERT_TRUE(frame) << text;
    EXPECT_TRUE(std::get<IncomingShellFrame::Stdin>(frame->payload).data.empty()) << text;
  }
}

TEST(ShellFramesTest, EncodesCanonicallyWithVersionAndNulls) {
  EXPECT_EQ((OutgoingShellFrame{OutgoingShellFrame::Opened{"s1", 4242, "/bin/zsh"}}.json()),
            R"({"pid":4242,"session_id":"s1","shell":"/bin/zsh","type":"shell.opened","v":1})");
  EXPECT_EQ((OutgoingShellFrame{OutgoingShellFrame::Exit{"s1", std::nullopt, 1}}.json()),
            R"({"code":null,"session_id":"s1","signal":1,"type":"shell.exit","v":1})");
  EXPECT_EQ((OutgoingShellFrame{OutgoingShellFrame::Stdout{"s1", toBytes("hi\n")}}.json()),
            R"({"data":"aGkK","session_id":"s1","type":"shell.stdout","v":1})");
  EXPECT_EQ((OutgoingShellFrame{OutgoingShellFrame::Stdout{"s1", {}}}.json()),
            R"({"data":"","session_id":"s1","type":"shell.stdout","v":1})");
  EXPECT_EQ((OutgoingShellFrame{OutgoingShellFrame::Error{"s\"1", "too_many_sessions", "cap"}}.json()),
            R"({"code":"too_many_sessions","message":"cap","session_id":"s\"1","type":"shell.error","v":1})");
}

}  // namespace
}  // namespace vela
