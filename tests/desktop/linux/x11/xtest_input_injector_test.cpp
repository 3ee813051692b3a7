#include "desktop/linux/x11/xtest_input_injector.h"

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "desktop/input/key_code_map.h"
#include "desktop/linux/x11_test_display.h"
#include "desktop/linux/x11/x11_keysyms.h"
#include "support/background_process.h"

namespace vela {
namespace {

using testing::BackgroundProcess;

constexpr int kWidth = 1280, kHeight = 720;

// One Xvfb for the suite, on a display number it picks itself, and a second client
// with a full-screen window that watches what the injector posts.
class XTestInjectorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    x_ = new testing::X11TestDisplay(kWidth, kHeight);
    watcher_ = x_->display();
    if (watcher_ == nullptr) return;
    window_ =
        XCreateSimpleWindow(watcher_, DefaultRootWindow(watcher_), 0, 0, kWidth, kHeight, 0, 0, 0);
    XSelectInput(watcher_, window_,
                 StructureNotifyMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                     KeyPressMask | KeyReleaseMask);
    XMapWindow(watcher_, window_);
    XEvent event;
    do XWindowEvent(watcher_, window_, StructureNotifyMask, &event);
    while (event.type != MapNotify);
    XSetInputFocus(watcher_, window_, RevertToParent, CurrentTime);
    XSync(watcher_, False);
  }

  static void TearDownTestSuite() { delete x_; }

  void SetUp() override {
    if (watcher_ == nullptr) GTEST_SKIP() << "no Xvfb";
    auto created = XTestInputInjector::create(DisplayString(watcher_));
    ASSERT_TRUE(created) << created.error().message;
    injector_ = std::move(*created);
    drain();
  }

  static void drain() {
    XSync(watcher_, False);
    XEvent event;
    while (XPending(watcher_) > 0) XNextEvent(watcher_, &event);
  }

  void apply(std::string_view message, DisplayBounds display = {0, 0, kWidth, kHeight}) {
    auto event = InputEvent::decode(message);
    ASSERT_TRUE(event) << message;
    event->apply(*injector_, display);
  }

  // Reads the watcher's events until `done` holds for them, failing after a minute.
  static std::vector<XEvent> collect(const std::function<bool(const std::vector<XEvent>&)>& done) {
    std::vector<XEvent> events;
    EXPECT_TRUE(BackgroundProcess::waitUntil([&] {
      while (XPending(watcher_) > 0) {
        XEvent event;
        XNextEvent(watcher_, &event);
        events.push_back(event);
      }
      return done(events);
    }));
    return events;
  }

  static bool has(const std::vector<XEvent>& events, int type, unsigned detail) {
    bool button = type == ButtonPress || type == ButtonRelease;
    for (const auto& e : events) {
      if (e.type == type && (button ? e.xbutton.button : e.xkey.keycode) == detail) return true;
    }
    return false;
  }

  static unsigned keycode(KeySym keysym) { return XKeysymToKeycode(watcher_, keysym); }

  std::unique_ptr<XTestInputInjector> injector_;
  static inline testing::X11TestDisplay* x_ = nullptr;
  static inline Display* watcher_ = nullptr;
  static inline Window window_ = 0;
};

TEST(XTestInjectorCreateTest, FailsClearlyWithoutADisplay) {
  auto injector = XTestInputInjector::create(":65000");
  ASSERT_FALSE(injector);
  EXPECT_EQ(injector.error().message, "cannot open X display :65000");
}

// Positions are fractions of the monitor, offset by its origin (the bottom-right quarter
// here); where a click lands on a whole screen is the end-to-end test's.
TEST_F(XTestInjectorTest, RightDragOnAMonitorGivesPressMotionReleaseAtItsPositions) {
  const DisplayBounds quarter{kWidth / 2, kHeight / 2, kWidth / 2, kHeight / 2};
  apply(R"({"t":"m","x":0.1,"y":0.1,"e":"down","b":2})", quarter);
  apply(R"({"t":"m","x":0.2,"y":0.2})", quarter);
  apply(R"({"t":"m","x":0.2,"y":0.2,"e":"up","b":2})", quarter);
  auto events = collect([](const auto& seen) { return has(seen, ButtonRelease, 3); });
  std::vector<std::string> seen;
  auto at = [](int x, int y) { return " " + std::to_string(x) + "," + std::to_string(y); };
  for (const auto& e : events) {
    if (e.type == ButtonPress) {
      seen.push_back("press " + std::to_string(e.xbutton.button) + at(e.xbutton.x_root, e.xbutton.y_root));
    }
    if (e.type == ButtonRelease) seen.push_back("release " + std::to_string(e.xbutton.button));
    if (e.type == MotionNotify && (e.xmotion.state & Button3Mask) && e.xmotion.x_root == 768 &&
        e.xmotion.y_root == 432 && (seen.empty() || seen.back() != "drag")) {
      seen.push_back("drag");
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"press 3 704,396", "drag", "release 3"}));
}

TEST_F(XTestInjectorTest, KeyWithMetaArrivesWithSuperHeldAndNothingStaysDown) {
  apply(R"({"t":"k","code":"KeyC","mods":{"meta":true}})");
  apply(R"({"t":"k","code":"KeyC","e":"up","mods":{"meta":true}})");
  unsigned c = keycode(XK_c), super = keycode(XK_Super_L);
  auto events = collect(
      [&](const auto& seen) { return has(seen, KeyRelease, c) && has(seen, KeyRelease, super); });
  bool pressedWithSuper = false;
  for (const auto& e : events)
    if (e.type == KeyPress && e.xkey.keycode == c) pressedWithSuper = e.xkey.state & Mod4Mask;
  EXPECT_TRUE(pressedWithSuper);
  char keys[32];
  XQueryKeymap(watcher_, keys);
  EXPECT_FALSE(keys[c / 8] & (1 << (c % 8)));
  EXPECT_FALSE(keys[super / 8] & (1 << (super % 8)));

  // A held Shift key is not pressed again, nor released by the key it modifies.
  unsigned shift = keycode(XK_Shift_L);
  drain();
  apply(R"({"t":"k","code":"ShiftLeft","mods":{"shift":true}})");
  apply(R"({"t":"k","code":"KeyA","mods":{"shift":true}})");
  apply(R"({"t":"k","code":"KeyA","e":"up","mods":{"shift":true}})");
  events = collect([&](const auto& seen) { return has(seen, KeyRelease, keycode(XK_a)); });
  int shiftPresses = 0, shiftReleases = 0;
  for (const auto& e : events) {
    if (e.xkey.keycode != shift) continue;
    shiftPresses += e.type == KeyPress;
    shiftReleases += e.type == KeyRelease;
  }
  EXPECT_EQ(shiftPresses, 1);
  EXPECT_EQ(shiftReleases, 0);
  apply(R"({"t":"k","code":"ShiftLeft","e":"up"})");
  collect([&](const auto& seen) { return has(seen, KeyRelease, shift); });
}

TEST_F(XTestInjectorTest, WheelClicksFollowTheBrowserSign) {
  // Down 100 px, left, up, right, then two small steps that add up to one click down.
  for (const char* message :
       {R"({"t":"w","dy":100})", R"({"t":"w","dx":-50})", R"({"t":"w","dy":-50})",
        R"({"t":"w","dx":50})", R"({"t":"w","dy":30})", R"({"t":"w","dy":30})",
        R"({"t":"w","dy":2147483647})"}) {
    apply(message);
  }
  size_t expected = 6 + WheelSteps::kMaxStepsPerEvent;
  auto events = collect([&](const auto& seen) {
    size_t releases = 0;
    for (const auto& e : seen) releases += e.type == ButtonRelease;
    return releases >= expected;
  });
  std::vector<unsigned> presses;
  for (const auto& e : events)
    if (e.type == ButtonPress) presses.push_back(e.xbutton.button);
  std::vector<unsigned> want = {5, 5, 6, 4, 7, 5};
  want.insert(want.end(), WheelSteps::kMaxStepsPerEvent, 5);
  EXPECT_EQ(presses, want);
}

TEST_F(XTestInjectorTest, DestroyingTheInjectorReleasesWhatItHolds) {
  apply(R"({"t":"m","x":0.5,"y":0.5,"e":"down","b":0})");
  apply(R"({"t":"k","code":"KeyQ"})");
  injector_.reset();
  collect([&](const auto& seen) {
    return has(seen, ButtonRelease, 1) && has(seen, KeyRelease, keycode(XK_q));
  });
}

TEST_F(XTestInjectorTest, EveryMappedKeyHasAKeysymAndAlmostAllAKeycode) {
  std::set<std::string> unreachable;
  for (const auto& entry : KeyCodeMap::entries()) {
    auto keysym = x11::keysymForVirtualKey(entry.virtualKey);
    ASSERT_TRUE(keysym) << entry.code;
    if (keycode(*keysym) == 0) unreachable.insert(std::string(entry.code));
  }
  // PC keymaps have no Fn key (the keyboard consumes it) and no keypad Clear.
  EXPECT_EQ(unreachable, (std::set<std::string>{"Fn", "NumpadClear"}));
}

}  // namespace
}  // namespace vela
