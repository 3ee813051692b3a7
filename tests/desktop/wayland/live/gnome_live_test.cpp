// The GNOME backend against a real mutter: run inside a private headless GNOME session
// by wayland_probe_test.py (it needs that session's bus, PipeWire and namespaces).

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "desktop/linux/wayland/gnome_desktop_screen.h"
#include "desktop/linux/wayland/gnome_screen_capturer.h"
#include "util/mutex.h"

namespace vela {
namespace {

using namespace std::chrono_literals;

// What a capture reported, shared with its callbacks.
struct Seen {
  Mutex mu;
  CondVar changed;
  std::optional<Result<ScreenCapturer::Size, CaptureError>> started GUARDED_BY(mu);
  int frames GUARDED_BY(mu) = 0;
  int width GUARDED_BY(mu) = 0;
  std::optional<std::optional<AgentError>> stopped GUARDED_BY(mu);

  bool waitForFrame() { return waitUntil([this]() REQUIRES(mu) { return frames > 0; }); }
  bool waitForStart() { return waitUntil([this]() REQUIRES(mu) { return started.has_value(); }); }

 private:
  template <typename Predicate>
  bool waitUntil(Predicate done) {
    MutexLock lock(mu);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
      if (!changed.waitUntil(mu, deadline)) return done();
    }
    return true;
  }
};

std::shared_ptr<GnomeScreenCapturer> observed(const std::shared_ptr<Seen>& seen) {
  auto capturer = GnomeScreenCapturer::create({30, true});
  capturer->setOnFrame([seen](const PixelBuffer& frame, MediaTime) {
    MutexLock lock(seen->mu);
    ++seen->frames;
    seen->width = frame.width;
    seen->changed.notifyAll();
  });
  capturer->setOnStopped([seen](const std::optional<AgentError>& error) {
    MutexLock lock(seen->mu);
    seen->stopped = error;
    seen->changed.notifyAll();
  });
  return capturer;
}

auto completion(const std::shared_ptr<Seen>& seen) {
  return [seen](Result<ScreenCapturer::Size, CaptureError> result) {
    MutexLock lock(seen->mu);
    seen->started = std::move(result);
    seen->changed.notifyAll();
  };
}

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
