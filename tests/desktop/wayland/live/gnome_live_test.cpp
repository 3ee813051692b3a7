// The GNOME backend against a real mutter: run inside a private headless GNOME session
// by wayland_probe_test.py (it needs that session's bus, PipeWire and namespaces).

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "desktop/linux/wayland/gnome_desktop_screen.h"
#include "desktop/wayland/live/live_capture.h"

namespace vela {
namespace {

using namespace std::chrono_literals;

TEST(GnomeLiveTest, TheMainMonitorIsCapturedAndAStillScreenSendsNothingMore) {
  auto screen = makeGnomeDesktopScreen();
  ASSERT_EQ(screen->unusable(), "");
  auto displays = screen->displays();
  ASSERT_EQ(displays.size(), 1u);
  auto seen = std::make_shared<Seen>();
  auto capturer = observed(seen);
  capturer->start(std::nullopt, completion(seen));
  ASSERT_TRUE(seen->waitForFrame());
  {
    MutexLock lock(seen->mu);
    ASSERT_TRUE(seen->started && *seen->started);
    EXPECT_EQ((*seen->started)->width, displays[0].width);
    EXPECT_EQ(seen->width, displays[0].width);
  }
  // mutter sends the first picture at once, then only damage: nothing here changes.
  std::this_thread::sleep_for(1s);
  const auto before = capturer->deliveredForTesting();
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(capturer->deliveredForTesting(), before);
  capturer->stop();
  MutexLock lock(seen->mu);
  EXPECT_FALSE(seen->stopped) << "stopping on request reports nothing";
}

TEST(GnomeLiveTest, AConnectorThatDoesNotExistFailsTheStartWithMuttersReason) {
  auto seen = std::make_shared<Seen>();
  auto capturer = observed(seen);
  capturer->startConnectorForTesting("HDMI-9", completion(seen));
  ASSERT_TRUE(seen->waitForStart());
  MutexLock lock(seen->mu);
  ASSERT_FALSE(*seen->started);
  EXPECT_EQ(seen->started->error().description().rfind(
                "screen capture not permitted: mutter cannot record monitor HDMI-9: ", 0),
            0u)
      << seen->started->error().description();
  EXPECT_EQ(capturer->session(), nullptr);
}

TEST(GnomeLiveTest, InputWithoutARunningCaptureIsDroppedAndAnInjectorNeedsACapturer) {
  auto screen = makeGnomeDesktopScreen();
  EXPECT_EQ(screen->makeInjector(nullptr), nullptr);
  auto capturer = screen->makeCapturer({30, true});
  auto injector = screen->makeInjector(capturer);
  ASSERT_NE(injector, nullptr);
  // Not started: nothing to post on, nothing posted, nothing waits.
  injector->mouseMove({10, 10});
  injector->keyDown(0, {});
  injector->scroll(0, 500);
}

}  // namespace
}  // namespace vela
