// The GNOME backend's pure parts: which session this is, mutter's monitor layout, the
// key and pointer mapping. The parts that talk to mutter are gnome_live_test.cpp's.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <set>

#include "desktop/input/key_code_map.h"
#include "desktop/linux/wayland/evdev_keys.h"
#include "desktop/linux/wayland/mutter_input_injector.h"
#include "desktop/linux/wayland/mutter_monitors.h"
#include "desktop/linux/wayland/session_type.h"

namespace vela {
namespace {

using SessionType::Facts;
using SessionType::Kind;

TEST(SessionTypeTest, TheSessionsOwnWordDecidesNotWhetherADisplayAnswers) {
  // A GNOME session on Wayland has an XWayland DISPLAY too.
  EXPECT_EQ(SessionType::decide({"wayland", "wayland-0", ":0", ""}), Kind::wayland);
  EXPECT_EQ(SessionType::decide({"x11", "", ":0", "wayland"}), Kind::x11);
  // A user service may have neither variable; logind's record of the session counts then.
  EXPECT_EQ(SessionType::decide({"", "", ":0", "wayland"}), Kind::wayland);
  EXPECT_EQ(SessionType::decide({"", "wayland-0", ":0", ""}), Kind::wayland);
  EXPECT_EQ(SessionType::decide({"", "", ":1", ""}), Kind::x11);
  EXPECT_EQ(SessionType::decide({"tty", "", "", "tty"}), Kind::other);

  EXPECT_EQ(SessionType::describe({"", "", ":0", "wayland"}), "wayland");
  EXPECT_EQ(SessionType::describe({"tty", "", "", ""}), "tty");
  EXPECT_EQ(SessionType::describe({"", "", "", "unspecified"}), "unknown");
}

TEST(SessionTypeTest, GnomeIsFoundInTheListOfDesktops) {
  EXPECT_TRUE(SessionType::isGnomeDesktop("GNOME"));
  EXPECT_TRUE(SessionType::isGnomeDesktop("ubuntu:GNOME"));
  EXPECT_FALSE(SessionType::isGnomeDesktop("KDE"));
  EXPECT_FALSE(SessionType::isGnomeDesktop("GNOMEish"));
  EXPECT_FALSE(SessionType::isGnomeDesktop(""));
}

GVariant* parse(const char* text) {
  GError* error = nullptr;
  GVariant* value = g_variant_parse(
      G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})"), text, nullptr, nullptr, &error);
  EXPECT_EQ(error, nullptr) << error->message;
  return value;
}

TEST(MutterMonitorsTest, LogicalMonitorsInOrderWithTheSizeOfTheirStreams) {
  // A laptop panel at scale 2 beside a primary external monitor to its right; the
  // panel's preferred mode is not its current one. mutter casts the panel in its device
  // pixels, so that is its size, though it takes half as much room in the layout.
  mutter::Variant state(parse(
      "(uint32 7,"
      " [(('eDP-1', 'X', 'Panel', '1'), [('2880x1800@60', 2880, 1800, 60.0, 2.0, [1.0, 2.0], {'is-preferred': <true>}),"
      "                                  ('2560x1600@60', 2560, 1600, 60.0, 2.0, [1.0, 2.0], {'is-current': <true>})], "
      "   @a{sv} {}),"
      "  (('HDMI-1', 'Y', 'Screen', '2'), [('1920x1080@60', 1920, 1080, 60.0, 1.0, [1.0], {'is-current': <true>})], "
      "   @a{sv} {})],"
      " [(0, 0, 2.0, uint32 0, false, [('eDP-1', 'X', 'Panel', '1')], @a{sv} {}),"
      "  (1280, 0, 1.0, uint32 0, true, [('HDMI-1', 'Y', 'Screen', '2')], @a{sv} {})],"
      " @a{sv} {})"));
  auto monitors = mutter::monitorsFromState(state.get());
  ASSERT_EQ(monitors.size(), 2u);
  EXPECT_EQ(monitors[0].connector, "eDP-1");
  EXPECT_EQ(monitors[0].info.id, 0u);
  EXPECT_EQ((std::pair{monitors[0].info.width, monitors[0].info.height}), (std::pair{2560, 1600}));
  EXPECT_FALSE(monitors[0].info.isMain);
  EXPECT_EQ(monitors[0].scale, 2.0);
  EXPECT_EQ(monitors[1].connector, "HDMI-1");
  EXPECT_EQ((std::tuple{monitors[1].info.id, monitors[1].info.x, monitors[1].info.width}), (std::tuple{1u, 1280, 1920}));
  EXPECT_TRUE(monitors[1].info.isMain);
}

TEST(MutterMonitorsTest, WithoutAPrimaryTheFirstIsMainAndMonitorsWithoutAModeAreLeftOut) {
  mutter::Variant state(parse(
      "(uint32 1,"
      " [(('Meta-0', 'V', 'P', 'S'), [('1920x1080@60', 1920, 1080, 60.0, 1.0, [1.0], {'is-current': <true>})], @a{sv} {}),"
      "  (('Meta-1', 'V', 'P', 'S'), [('800x600@60', 800, 600, 60.0, 1.0, [1.0], @a{sv} {})], @a{sv} {})],"
      " [(0, 0, 1.0, uint32 0, false, [('Meta-0', 'V', 'P', 'S')], @a{sv} {}),"
      "  (1920, 0, 1.0, uint32 0, false, [('Meta-1', 'V', 'P', 'S')], @a{sv} {})],"
      " @a{sv} {})"));
  auto monitors = mutter::monitorsFromState(state.get());
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(monitors[0].connector, "Meta-0");
  EXPECT_TRUE(monitors[0].info.isMain);
}

TEST(MutterMonitorsTest, AMonitorTurnedAQuarterIsCastAsTallAsItsModeIsWide) {
  // Transforms 1 and 3 turn by 90 and 270 degrees, 5 and 7 the same flipped; 2 is upside
  // down and keeps the size.
  for (auto [transform, width, height] : {std::tuple{1, 720, 1280}, {2, 1280, 720}, {3, 720, 1280}, {7, 720, 1280}}) {
    std::string text =
        "(uint32 3,"
        " [(('Meta-0', 'V', 'P', 'S'), [('1280x720@60', 1280, 720, 60.0, 1.0, [1.0], {'is-current': <true>})], @a{sv} {})],"
        " [(0, 0, 1.0, uint32 " + std::to_string(transform) + ", true, [('Meta-0', 'V', 'P', 'S')], @a{sv} {})],"
        " {'layout-mode': <uint32 2>})";
    mutter::Variant state(parse(text.c_str()));
    auto monitors = mutter::monitorsFromState(state.get());
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_EQ((std::pair{monitors[0].info.width, monitors[0].info.height}), (std::pair{width, height})) << transform;
  }
}

mutter::Monitor monitor(std::string connector, int x, int width, int height) {
  return {{0, width, height, true, x, 0}, std::move(connector), 1};
}

TEST(MutterMonitorsTest, AMonitorGoneOrResizedEndsItsCaptureAndOneMovedDoesNot) {
  const auto recorded = monitor("Meta-0", 0, 1280, 720);
  EXPECT_FALSE(mutter::changeOf(recorded, {monitor("Meta-1", 1280, 800, 600), recorded}));

  auto gone = mutter::changeOf(recorded, {monitor("Meta-1", 0, 800, 600)});
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->what, "monitor Meta-0 went away");
  EXPECT_TRUE(gone->endsCapture);
  EXPECT_TRUE(mutter::changeOf(recorded, {})->endsCapture);

  // Turned and moved at once: the size is what ends the stream.
  auto turned = mutter::changeOf(recorded, {monitor("Meta-0", 800, 720, 1280)});
  ASSERT_TRUE(turned);
  EXPECT_EQ(turned->what, "monitor Meta-0 changed its size from 1280x720 to 720x1280");
  EXPECT_TRUE(turned->endsCapture);

  auto moved = mutter::changeOf(recorded, {monitor("Meta-1", 0, 800, 600), monitor("Meta-0", 800, 1280, 720)});
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->what, "monitor Meta-0 moved from (0,0) to (800,0)");
  EXPECT_FALSE(moved->endsCapture);

  auto scaled = recorded;
  scaled.scale = 1.25;
  auto rescaled = mutter::changeOf(recorded, {scaled});
  ASSERT_TRUE(rescaled);
  EXPECT_EQ(rescaled->what, "monitor Meta-0 changed its scale from 1 to 1.25");
  EXPECT_FALSE(rescaled->endsCapture);
}

TEST(EvdevKeysTest, EveryKeyTheBrowserNamesHasItsOwnKeycodeAtTheSamePlace) {
  std::set<std::uint32_t> seen;
  for (const auto& entry : KeyCodeMap::entries()) {
    auto key = evdev::keyForVirtualKey(entry.virtualKey);
    ASSERT_TRUE(key) << entry.code;
    seen.insert(*key);
  }
  EXPECT_EQ(seen.size(), KeyCodeMap::entries().size());
  // By position, not by symbol: the session's own layout makes the letter.
  EXPECT_EQ(evdev::keyForVirtualKey(*KeyCodeMap::virtualKey("KeyQ")), KEY_Q);
  EXPECT_EQ(evdev::keyForVirtualKey(*KeyCodeMap::virtualKey("KeyZ")), KEY_Z);
  EXPECT_EQ(evdev::keyForVirtualKey(*KeyCodeMap::virtualKey("Semicolon")), KEY_SEMICOLON);
  EXPECT_EQ(evdev::keyForVirtualKey(*KeyCodeMap::virtualKey("ShiftLeft")), KEY_LEFTSHIFT);
  EXPECT_EQ(evdev::keyForVirtualKey(*KeyCodeMap::virtualKey("NumpadEnter")), KEY_KPENTER);
}

TEST(MutterInputInjectorTest, GlobalPositionsBecomeStreamPositionsInsideTheStream) {
  const Displays::Info right{1, 1920, 1080, false, 1280, 0};
  using P = InputInjector::Point;
  EXPECT_EQ(MutterInputInjector::toStream({1280 + 960.5, 540}, right), (P{960.5, 540}));
  EXPECT_EQ(MutterInputInjector::toStream({0, -20}, right), (P{0, 0}));
  EXPECT_EQ(MutterInputInjector::toStream({99999, 99999}, right), (P{1919, 1079}));
  EXPECT_EQ(MutterInputInjector::toStream({1280 + 1920, 1080}, right), (P{1919, 1079}));
}

}  // namespace
}  // namespace vela
