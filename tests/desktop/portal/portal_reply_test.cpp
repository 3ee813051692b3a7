#include "desktop/linux/portal/portal_reply.h"

#include <gtest/gtest.h>

namespace vela::portal {
namespace {

// Results as the portal would send them, written in GVariant's text format.
struct Parsed {
  explicit Parsed(const char* text) : value(g_variant_ref_sink(g_variant_new_parsed(text))) {}
  ~Parsed() { g_variant_unref(value); }
  GVariant* value;
};

TEST(PortalReply, ResponseCodesSayWhoEndedIt) {
  EXPECT_TRUE(checkResponse(0, "Start").has_value());
  auto declined = checkResponse(1, "Start");
  ASSERT_FALSE(declined);
  EXPECT_NE(declined.error().message.find("person at the screen declined"), std::string::npos);
  auto other = checkResponse(2, "SelectSources");
  ASSERT_FALSE(other);
  EXPECT_NE(other.error().message.find("SelectSources, response 2"), std::string::npos);
}

TEST(PortalReply, StartGrantsTheFirstStreamWithItsSize) {
  Parsed results("{'devices': <uint32 3>, 'streams': <[(uint32 57, {'size': <(1280, 800)>, 'position': <(1920, 0)>,"
                 " 'source_type': <uint32 1>}), (uint32 58, {'size': <(640, 480)>})]>}");
  auto started = startedOf(results.value);
  ASSERT_TRUE(started) << started.error().message;
  EXPECT_EQ(started->devices, kKeyboard | kPointer);
  ASSERT_EQ(started->streams.size(), 2u);
  const Stream& first = started->streams.front();
  EXPECT_EQ(first.node, 57u);
  EXPECT_EQ(first.display.width, 1280);
  EXPECT_EQ(first.display.height, 800);
  // Input goes to the stream in its own coordinates, wherever the monitor sits.
  EXPECT_EQ(first.display.x, 0);
  EXPECT_TRUE(first.display.isMain);
}

TEST(PortalReply, StartRepliesThatGrantNoUsableStreamFail) {
  const struct {
    const char* results;
    const char* why;
  } cases[] = {
      {"@a{sv} {}", "granted no screen stream"},
      {"{'devices': <uint32 3>}", "granted no screen stream"},
      {"{'streams': <@a(ua{sv}) []>}", "granted no screen stream"},
      {"{'streams': <'57'>}", "unknown shape"},
      {"{'streams': <[(57, {'size': <(1, 1)>})]>}", "unknown shape"},  // node as int32
      {"{'streams': <[(uint32 57, @a{sv} {})]>}", "has no size"},
      {"{'streams': <[(uint32 57, {'size': <(1280.0, 800.0)>})]>}", "has no size"},
      {"{'streams': <[(uint32 57, {'size': <(0, 800)>})]>}", "has no size"},
      {"{'streams': <[(uint32 57, {'size': <(-1280, 800)>})]>}", "has no size"},
  };
  for (const auto& c : cases) {
    Parsed results(c.results);
    auto started = startedOf(results.value);
    ASSERT_FALSE(started) << c.results;
    EXPECT_NE(started.error().message.find(c.why), std::string::npos) << c.results << ": " << started.error().message;
  }
  // Not even a dictionary.
  Parsed notADict("(uint32 0, 'x')");
  EXPECT_FALSE(startedOf(notADict.value));
  EXPECT_FALSE(startedOf(nullptr));
}

TEST(PortalReply, SessionHandleMustBeAnObjectPath) {
  Parsed asString("{'session_handle': <'/org/freedesktop/portal/desktop/session/1_42/vela1'>}");
  auto handle = sessionHandleOf(asString.value);
  ASSERT_TRUE(handle);
  EXPECT_EQ(*handle, "/org/freedesktop/portal/desktop/session/1_42/vela1");
  Parsed asPath("{'session_handle': <objectpath '/s/1'>}");
  EXPECT_EQ(sessionHandleOf(asPath.value).value_or(""), "/s/1");
  for (const char* odd : {"{'session_handle': <'not a path'>}", "{'session_handle': <uint32 1>}", "@a{sv} {}"}) {
    Parsed results(odd);
    EXPECT_FALSE(sessionHandleOf(results.value)) << odd;
  }
}

TEST(PortalReply, VersionPropertiesAreNumbers) {
  Parsed good("(<uint32 1>,)");
  EXPECT_EQ(uintPropertyOf(good.value).value_or(0), 1u);
  Parsed text("(<'1'>,)");
  EXPECT_FALSE(uintPropertyOf(text.value));
  Parsed bare("(uint32 1,)");
  EXPECT_FALSE(uintPropertyOf(bare.value));
}

TEST(PortalReply, RequestPathFollowsTheSendersName) {
  EXPECT_EQ(requestPath(":1.42", "vela7_3"), "/org/freedesktop/portal/desktop/request/1_42/vela7_3");
}

TEST(PortalReply, CursorModeFallsBackToWhatThePortalOffers) {
  EXPECT_EQ(cursorModeFor(kCursorHidden | kCursorEmbedded | kCursorMetadata, true), kCursorEmbedded);
  EXPECT_EQ(cursorModeFor(kCursorHidden | kCursorEmbedded | kCursorMetadata, false), kCursorHidden);
  EXPECT_EQ(cursorModeFor(kCursorHidden | kCursorMetadata, true), kCursorMetadata);
  EXPECT_EQ(cursorModeFor(0, true), 0u);
}

}  // namespace
}  // namespace vela::portal
