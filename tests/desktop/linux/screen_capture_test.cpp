// X11 capture against a private Xvfb. The X server dying under a session is the
// end-to-end test's (tests/desktop/e2e).

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "desktop/linux/x11_test_display.h"
#include "desktop/linux/x11/x11_cursor.h"
#include "desktop/linux/x11/x11_screen.h"
#include "desktop/linux/x11/x11_screen_capturer.h"

namespace vela {
namespace {

using testing::X11TestDisplay;

// B, G, R of a pixel of a BGRA frame as 0xRRGGBB.
std::uint32_t rgbAt(const std::uint8_t* pixels, int stride, int x, int y) {
  const std::uint8_t* p = pixels + static_cast<std::size_t>(y) * stride + 4 * static_cast<std::size_t>(x);
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

// What a capturer delivered: the start result, the latest frame and the stop.
struct CaptureRecorder {
  void attach(ScreenCapturer& capturer) {
    capturer.setOnFrame([this](const PixelBuffer& frame, MediaTime) {
      if (onEachFrame) onEachFrame(frame);
      update([&] { latest = frame, ++frames; });
    });
    capturer.setOnStopped([this](const std::optional<AgentError>& error) { update([&] { stopped = error; }); });
  }
  ScreenCapturer::StartCompletion startCompletion() {
    return [this](Result<ScreenCapturer::Size, CaptureError> result) { update([&] { started = std::move(result); }); };
  }
  // A capture at 30 fps reporting here, once its start has been answered.
  std::shared_ptr<X11ScreenCapturer> start(std::optional<std::uint32_t> id, bool cursor = false) {
    auto capturer = X11ScreenCapturer::create({30, cursor});
    attach(*capturer);
    capturer->start(id, startCompletion());
    EXPECT_TRUE(waitFor([&] { return started.has_value(); }));
    return capturer;
  }
  // Up to a minute, against hangs.
  bool waitFor(const std::function<bool()>& condition) {
    std::unique_lock lock(mu);
    return changed.wait_for(lock, std::chrono::minutes(1), condition);
  }
  // Notifies under the lock: a waiter that sees its condition may destroy the recorder at
  // once, and must not while a capture thread is still inside the notify.
  void update(const std::function<void()>& change) {
    std::lock_guard lock(mu);
    change();
    changed.notify_all();
  }

  std::mutex mu;
  std::condition_variable changed;
  std::optional<Result<ScreenCapturer::Size, CaptureError>> started;
  std::optional<PixelBuffer> latest;
  std::uint64_t frames = 0;
  std::optional<std::optional<AgentError>> stopped;
  std::function<void(const PixelBuffer&)> onEachFrame;  // runs outside the lock
};

constexpr std::uint32_t kRed = 0xd02020, kGreen = 0x20c040, kBlue = 0x3040e0, kWhite = 0xf0f0f0;

class ScreenCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(x_.ready()) << "Xvfb did not start"; }

  // Waits for a frame read after `serial` and returns a copy of its pixel at (x, y).
  std::uint32_t pixelOfFrameAfter(std::uint64_t serial, int x, int y) {
    std::uint32_t rgb = 0;
    EXPECT_TRUE(recorder_.waitFor([&] {
      if (!recorder_.latest || recorder_.latest->contentSerial <= serial) return false;
      rgb = rgbAt(recorder_.latest->data, recorder_.latest->stride, x, y);
      return true;
    }));
    return rgb;
  }

  std::uint64_t latestSerial() {
    std::lock_guard lock(recorder_.mu);
    return recorder_.latest ? recorder_.latest->contentSerial : 0;
  }

  X11TestDisplay x_{640, 480};
  CaptureRecorder recorder_;
};

TEST_F(ScreenCaptureTest, FramesShowWhatWasDrawnAndAStillScreenDeliversNone) {
  x_.fill(0, 0, 320, 240, kRed);
  x_.fill(320, 0, 320, 240, kGreen);
  x_.fill(0, 240, 640, 240, kBlue);
  auto capturer = recorder_.start(std::nullopt);
  ASSERT_TRUE(recorder_.started && *recorder_.started);
  EXPECT_EQ((*recorder_.started)->width, 640);
  EXPECT_EQ((*recorder_.started)->height, 480);

  EXPECT_EQ(pixelOfFrameAfter(0, 160, 120), kRed);
  {
    std::lock_guard lock(recorder_.mu);
    const PixelBuffer& f = *recorder_.latest;
    EXPECT_EQ(f.width, 640);
    EXPECT_EQ(rgbAt(f.data, f.stride, 480, 120), kGreen);
    EXPECT_EQ(rgbAt(f.data, f.stride, 10, 470), kBlue);
    EXPECT_EQ(rgbAt(f.data, f.stride, 639, 479), kBlue);
  }

  // Nothing changes for fifteen ticks: nothing is read or delivered.
  std::uint64_t serial = latestSerial();
  std::uint64_t framesBefore = recorder_.frames, readsBefore = capturer->stats().reads;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(recorder_.frames, framesBefore);
  EXPECT_EQ(capturer->stats().reads, readsBefore);

  // A change anywhere on the monitor is read and delivered, once.
  x_.fill(600, 440, 20, 20, kWhite);
  EXPECT_EQ(pixelOfFrameAfter(serial, 610, 450), kWhite);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(recorder_.frames, framesBefore + 1);
  // Asked for, the unchanged picture is delivered once more.
  capturer->refresh();
  EXPECT_EQ(pixelOfFrameAfter(latestSerial(), 610, 450), kWhite);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(recorder_.frames, framesBefore + 2);
  capturer->stop();
  std::uint64_t framesAtStop = recorder_.frames;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(recorder_.frames, framesAtStop) << "a frame arrived after stop()";
  EXPECT_FALSE(recorder_.stopped.has_value()) << "a requested stop is not reported";
}

TEST_F(ScreenCaptureTest, MonitorsAreChosenByIdAnUnknownIdFallsBackAndAVanishedOneEndsItsCapture) {
  x_.fill(0, 0, 320, 480, kRed);
  x_.fill(320, 0, 320, 480, kGreen);
  x_.addMonitor("VELA-LEFT", 0, 0, 320, 480);
  std::uint32_t right = x_.addMonitor("VELA-RIGHT", 320, 0, 320, 480);

  auto displays = x11::activeDisplays();
  ASSERT_GE(displays.size(), 2u);
  EXPECT_EQ(std::count_if(displays.begin(), displays.end(), [](const auto& d) { return d.isMain; }), 1);

  // A wrong id or origin in the list would capture the red half, or fall back.
  auto capturer = recorder_.start(right);
  ASSERT_TRUE(*recorder_.started);
  EXPECT_EQ((*recorder_.started)->width, 320);
  EXPECT_EQ(pixelOfFrameAfter(0, 10, 10), kGreen);

  CaptureRecorder fallback;
  auto second = fallback.start(0xdeadbeef);
  ASSERT_TRUE(fallback.waitFor([&] { return fallback.latest.has_value(); }));
  ASSERT_TRUE(fallback.started && *fallback.started);
  EXPECT_EQ((*fallback.started)->width, displays.front().width);
  EXPECT_EQ((*fallback.started)->height, displays.front().height);
  {
    std::lock_guard lock(fallback.mu);
    EXPECT_EQ(rgbAt(fallback.latest->data, fallback.latest->stride, 10, 10), displays.front().x < 320 ? kRed : kGreen);
  }
  second->stop();

  x_.removeMonitor(right);
  ASSERT_TRUE(recorder_.waitFor([&] { return recorder_.stopped.has_value(); }));
  ASSERT_TRUE(recorder_.stopped->has_value());
  EXPECT_NE((*recorder_.stopped)->message.find("went away"), std::string::npos) << (*recorder_.stopped)->message;
  capturer->stop();
}

TEST_F(ScreenCaptureTest, CursorIsDrawnInWhenShown) {
  x_.fill(0, 0, 640, 480, 0x808080);
  XWarpPointer(x_.display(), None, DefaultRootWindow(x_.display()), 0, 0, 0, 0, 100, 100);
  XSync(x_.display(), False);
  auto capturer = recorder_.start(std::nullopt, true);
  ASSERT_TRUE(recorder_.waitFor([&] { return recorder_.latest.has_value(); }));
  auto differingAround = [&](int cx, int cy) {
    std::lock_guard lock(recorder_.mu);
    int differing = 0;
    for (int y = cy - 16; y < cy + 16; ++y)
      for (int x = cx - 16; x < cx + 16; ++x)
        differing += rgbAt(recorder_.latest->data, recorder_.latest->stride, x, y) != 0x808080;
    return differing;
  };
  EXPECT_GT(differingAround(100, 100), 10);
  EXPECT_EQ(differingAround(400, 400), 0);

  // Only the pointer moves: that is a change of the picture.
  std::uint64_t serial = latestSerial();
  XWarpPointer(x_.display(), None, DefaultRootWindow(x_.display()), 0, 0, 0, 0, 400, 400);
  XSync(x_.display(), False);
  pixelOfFrameAfter(serial, 0, 0);
  EXPECT_GT(differingAround(400, 400), 10);
  EXPECT_EQ(differingAround(100, 100), 0);
  // Joined here: the last reference may otherwise go on the capturer's own queue, whose
  // thread would close its display while the process exits.
  capturer->stop();
}

TEST(CursorCompositeTest, BlendsPremultipliedPixelsAndClipsAtTheEdges) {
  x11::CursorImage cursor{2, 2, 1, 1, {0xff0000ffu, 0x80000080u, 0x00000000u, 0xffffffffu}};
  std::vector<std::uint8_t> frame(3 * 3 * 4, 0x40);
  x11::compositeCursor(cursor, 0, 0, frame.data(), 12, 3, 3);  // hot spot at the corner: 1 pixel visible
  EXPECT_EQ(rgbAt(frame.data(), 12, 0, 0), 0xffffffu);
  EXPECT_EQ(rgbAt(frame.data(), 12, 1, 1), 0x404040u);
  x11::compositeCursor(cursor, 2, 2, frame.data(), 12, 3, 3);
  EXPECT_EQ(rgbAt(frame.data(), 12, 1, 1), 0x0000ffu);         // opaque blue
  EXPECT_EQ(rgbAt(frame.data(), 12, 2, 1), 0x2020a0u);         // half blue over grey
  EXPECT_EQ(rgbAt(frame.data(), 12, 1, 2), 0x404040u);         // transparent
}

TEST_F(ScreenCaptureTest, ALaggingConsumerLosesFramesInsteadOfQueueingThem) {
  std::atomic<int> most{0};
  std::shared_ptr<X11ScreenCapturer> capturer;
  recorder_.onEachFrame = [&](const PixelBuffer&) {
    // Handed over but not yet consumed, this one included.
    int inFlight = static_cast<int>(capturer->stats().delivered - recorder_.frames);
    most = std::max(most.load(), inFlight);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  };
  capturer = X11ScreenCapturer::create({60, false});
  recorder_.attach(*capturer);
  capturer->start(std::nullopt, recorder_.startCompletion());
  // The screen changes all the time, so every tick has a frame to deliver.
  std::atomic<bool> drawing{true};
  std::thread painter([&] {
    for (std::uint32_t i = 0; drawing; ++i) x_.fill(0, 0, 64, 64, (i & 1) ? kRed : kBlue);
  });
  EXPECT_TRUE(recorder_.waitFor([&] { return recorder_.frames >= 12; }));
  drawing = false;
  painter.join();
  capturer->stop();
  EXPECT_GT(capturer->stats().dropped, 0u);
  EXPECT_LE(most.load(), X11ScreenCapturer::kQueueDepth);
}

TEST(ScreenCaptureWithoutDisplayTest, StartFailsAsNotPermitted) {
  testing::ScopedEnv noDisplay("DISPLAY", std::nullopt);
  CaptureRecorder recorder;
  auto capturer = recorder.start(std::nullopt, true);
  ASSERT_TRUE(recorder.started);
  ASSERT_FALSE(*recorder.started);
  EXPECT_EQ(recorder.started->error().description(), "screen capture not permitted: no X11 display (DISPLAY is not set)");
}

}  // namespace
}  // namespace vela
