#include "desktop/desktop_frames.h"

#include <gmock/gmock.h>

#include "util/base64.h"
#include "util/json_scanner.h"

namespace vela {
namespace {

std::string openFrame(const std::string& inner) {
  return R"({"type":"desktop.open","session_id":"d1","data":")" + Base64::encode(inner) + R"("})";
}

DesktopOpenConfig openConfig(const std::string& text) {
  auto frame = IncomingDesktopFrame::parse(text);
  EXPECT_TRUE(frame);
  return std::get<IncomingDesktopFrame::Open>(frame->payload).config;
}

TEST(DesktopFramesTest, OpenConfigDefaultsDependOnWhereTheyComeFromIceKeepsStringUrls) {
  auto noData = openConfig(R"({"type":"desktop.open","session_id":"d1"})");
  EXPECT_FALSE(noData.consentRequired);
  EXPECT_TRUE(noData.recordingRequired);

  EXPECT_TRUE(openConfig(openFrame("{}")).consentRequired);
  auto unattended = openConfig(openFrame(R"({"mode":"unattended"})"));
  EXPECT_FALSE(unattended.consentRequired);
  EXPECT_TRUE(unattended.recordingRequired);
  // Undecodable data falls back rather than rejecting the frame.
  EXPECT_FALSE(openConfig(R"({"type":"desktop.open","session_id":"d1","data":"%%"})").consentRequired);

  // An ICE server keeps only its string URLs.
  auto mixed = openConfig(openFrame(R"({"ice":{"urls":["stun:a",5],"username":"u"}})"));
  ASSERT_EQ(mixed.iceServers.size(), 1u);
  EXPECT_EQ(mixed.iceServers[0].urls, std::vector<std::string>{"stun:a"});
  EXPECT_EQ(mixed.iceServers[0].username, "u");
  EXPECT_EQ(openConfig(openFrame(R"({"ice":{"urls":"turn:b"}})")).iceServers.size(), 1u);
}

TEST(DesktopFramesTest, ClipboardIsSharedUnlessTheOpenFrameSaysFalse) {
  EXPECT_TRUE(openConfig(R"({"type":"desktop.open","session_id":"d1"})").clipboardAllowed);
  EXPECT_FALSE(openConfig(R"({"type":"desktop.open","session_id":"d1","clipboard":false})").clipboardAllowed);
  // Only false turns it off; anything else is as if absent.
  EXPECT_TRUE(openConfig(R"({"type":"desktop.open","session_id":"d1","clipboard":"no"})").clipboardAllowed);
}

TEST(DesktopFramesTest, SignalsRoundTripAndRejectUnknownKinds) {
  DesktopSignal ice{IceCandidate{std::nullopt, 1, "candidate:1"}};
  EXPECT_EQ(Base64::decode(ice.encodeBase64()).value(),
            toBytes(R"({"candidate":{"candidate":"candidate:1","sdpMLineIndex":1,"sdpMid":null},"kind":"ice"})"));
  EXPECT_FALSE(DesktopSignal::decode(Base64::encode(R"({"kind":"pranswer","sdp":"x"})")));
  EXPECT_FALSE(DesktopSignal::decode(Base64::encode(R"({"kind":"offer"})")));
  auto pr = DesktopSignal::fromDescription({SessionDescription::Kind::pranswer, "v=0"});
  EXPECT_TRUE(std::holds_alternative<DesktopSignal::Offer>(pr.payload));
}

TEST(DesktopFramesTest, RecordingFinalWritesWholeSecondsWithAFraction) {
  const OutgoingDesktopFrame::RecordingFinal recording{"d1", "ab", 10, 3.0, "local", "mp4"};
  auto frame = JSONScanner::parse(OutgoingDesktopFrame{recording}.json()).value();
  auto inner = Base64::decode(frame["data"]->stringValue().value()).value();
  EXPECT_THAT(toString(inner), ::testing::HasSubstr(R"("duration_s":3.0)"));
}

}  // namespace
}  // namespace vela
