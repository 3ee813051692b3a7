#pragma once

// A capture under test and what it reported, for the live tests against mutter.

#include <chrono>
#include <memory>
#include <optional>

#include "desktop/linux/wayland/gnome_screen_capturer.h"
#include "util/mutex.h"

namespace vela {

// What a capture reported, shared with its callbacks.
struct Seen {
  Mutex mu;
  CondVar changed;
  std::optional<Result<ScreenCapturer::Size, CaptureError>> started GUARDED_BY(mu);
  int frames GUARDED_BY(mu) = 0;
  int width GUARDED_BY(mu) = 0;
  int height GUARDED_BY(mu) = 0;
  std::optional<std::optional<AgentError>> stopped GUARDED_BY(mu);

  bool waitForFrame() { return waitUntil([this]() REQUIRES(mu) { return frames > 0; }); }
  bool waitForStart() { return waitUntil([this]() REQUIRES(mu) { return started.has_value(); }); }
  bool waitForStop() { return waitUntil([this]() REQUIRES(mu) { return stopped.has_value(); }); }

 private:
  template <typename Predicate>
  bool waitUntil(Predicate done) {
    MutexLock lock(mu);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (!changed.waitUntil(mu, deadline)) return done();
    }
    return true;
  }
};

inline std::shared_ptr<GnomeScreenCapturer> observed(const std::shared_ptr<Seen>& seen) {
  auto capturer = GnomeScreenCapturer::create({30, true});
  capturer->setOnFrame([seen](const PixelBuffer& frame, MediaTime) {
    MutexLock lock(seen->mu);
    ++seen->frames;
    seen->width = frame.width;
    seen->height = frame.height;
    seen->changed.notifyAll();
  });
  capturer->setOnStopped([seen](const std::optional<AgentError>& error) {
    MutexLock lock(seen->mu);
    seen->stopped = error;
    seen->changed.notifyAll();
  });
  return capturer;
}

inline auto completion(const std::shared_ptr<Seen>& seen) {
  return [seen](Result<ScreenCapturer::Size, CaptureError> result) {
    MutexLock lock(seen->mu);
    seen->started = std::move(result);
    seen->changed.notifyAll();
  };
}

}  // namespace vela
