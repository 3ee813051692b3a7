#pragma once

// Collects what a ScreenCapturer delivers, for tests: the start result, the latest frame
// and the stop, with waits that end as soon as the condition holds.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

#include "desktop/screen_capturer.h"

namespace vela::testing {

class CaptureRecorder {
 public:
  void attach(ScreenCapturer& capturer);
  ScreenCapturer::StartCompletion startCompletion();

  // Waits (up to a minute, against hangs) until `condition` holds under the lock.
  bool waitFor(const std::function<bool()>& condition);

  std::mutex mu;
  std::optional<Result<ScreenCapturer::Size, CaptureError>> started;
  std::optional<PixelBuffer> latest;
  std::uint64_t frames = 0;
  std::optional<std::optional<AgentError>> stopped;
  std::function<void(const PixelBuffer&)> onEachFrame;  // runs outside the lock

 private:
  // Notified under `mu`: a waiter that sees its condition may destroy the recorder at
  // once, and must not do so while a capture thread is still inside the notify.
  std::condition_variable changed_;
};

}  // namespace vela::testing
