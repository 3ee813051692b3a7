#pragma once

// ScreenCapturer on X11: a thread of its own reads one RandR monitor through MIT-SHM
// at the configured rate and hands frames to the "vela.screencap.samples" queue. The
// server reads into shared memory, the only copy a frame costs. XDamage (and the
// pointer, when it is drawn in) tells which ticks changed anything: only those read and
// deliver a frame, so a still screen delivers none and its consumers idle. The cursor is
// drawn in via XFixes. Five frames at most wait for or are held by the
// consumer; more are dropped. A lost connection or a vanished monitor ends the capture
// through onStopped. Thread-safe; callbacks are set before start().

#include <atomic>
#include <memory>
#include <thread>

#include "desktop/screen_capturer.h"
#include "util/mutex.h"
#include "util/serial_queue.h"

namespace vela {

class X11ScreenCapturer : public ScreenCapturer, public std::enable_shared_from_this<X11ScreenCapturer> {
 public:
  struct Stats {
    std::uint64_t delivered = 0;  // frames handed to the queue
    std::uint64_t reads = 0;      // frames read from the server
    std::uint64_t dropped = 0;    // changed ticks skipped because the consumer lagged
  };

  static constexpr int kQueueDepth = 5;

  static std::shared_ptr<X11ScreenCapturer> create(Config config);
  ~X11ScreenCapturer() override;

  void setOnFrame(FrameHandler handler) override { onFrame_ = std::move(handler); }
  void setOnStopped(StopHandler handler) override { onStopped_ = std::move(handler); }
  void start(std::optional<std::uint32_t> displayID, StartCompletion completion) override;
  void stop() override;
  void refresh() override { refresh_ = true; }
  Stats stats() const { return {delivered_.load(), reads_.load(), dropped_.load()}; }

 private:
  class Session;  // everything the capture thread owns
  explicit X11ScreenCapturer(Config config);

  void run(std::optional<std::uint32_t> displayID, StartCompletion completion);
  bool waitForTick(std::chrono::steady_clock::time_point due);
  void deliver(const PixelBuffer& frame, MediaTime pts);
  void finish(std::optional<AgentError> error);

  const Config config_;
  std::shared_ptr<SerialQueue> sampleQueue_;
  FrameHandler onFrame_;
  StopHandler onStopped_;

  Mutex mu_;  // also held around thread_ start and join
  CondVar wake_;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_;

  std::atomic<bool> delivering_{true};
  std::atomic<bool> refresh_{false};
  std::atomic<int> inFlight_{0};
  std::atomic<std::uint64_t> delivered_{0};
  std::atomic<std::uint64_t> reads_{0};
  std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace vela
