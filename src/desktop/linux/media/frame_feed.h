#pragma once

// What enters a session's encoder, in order, from one thread of its own
// ("vela.desktop.feed"). Capture delivers a frame only when the screen changed, so on a
// still screen the encoder has nothing to do. The last frame is fed again, stamped with
// the time it has stayed on screen, only where a consumer needs a picture:
//  - a keyframe was asked for (a decoder joining or recovering) and no new frame follows
//    within one frame interval;
//  - once, a second after the last change: a fragmenting muxer writes a picture out only
//    when the next one arrives, so the last change of a still period would otherwise sit
//    in memory instead of the file;
//  - a consumer is about to close its stream (catchUp), so its last picture lasts until
//    then and the file's duration is the time the session took.
// So a still screen costs at most one frame a second, and none after the first. Time
// stamps leave strictly increasing whatever thread the frames came from. Thread-safe.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "desktop/desktop_video_input.h"
#include "util/serial_queue.h"

namespace vela {

class FrameFeed : public std::enable_shared_from_this<FrameFeed> {
 public:
  // Takes each frame on the feed thread, one at a time, pts increasing.
  using Sink = std::function<void(const DesktopVideoFrame& frame)>;
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kSettleDelay{1000};
  // A picture on screen for less than this before the stream closes is not worth one
  // more: it is within the last picture's own duration.
  static constexpr std::chrono::milliseconds kCatchUpAfter{250};

  struct Counts {
    std::uint64_t fresh = 0;    // frames pushed
    std::uint64_t repeats = 0;  // the last frame fed again
  };

  // A test of something else than settling may push it out of the way.
  static std::shared_ptr<FrameFeed> create(int fps, Sink sink, std::chrono::milliseconds settleDelay = kSettleDelay);
  ~FrameFeed();
  FrameFeed(const FrameFeed&) = delete;
  FrameFeed& operator=(const FrameFeed&) = delete;

  void push(DesktopVideoFrame frame);
  // The last frame goes in again unless a new one follows within a frame interval.
  void keyframeRequested();
  // Brings the stream up to now, then gives `done` (on the feed thread) the pts the
  // stream has reached; nothing when no frame was ever pushed.
  void catchUp(std::function<void(std::optional<std::chrono::nanoseconds>)> done);
  // Runs `task` on the feed thread once the frames pushed before have gone in.
  void then(std::function<void()> task);
  void after(Clock::duration delay, std::function<void()> task);
  Counts counts() const { return {fresh_.load(), repeats_.load()}; }

 private:
  FrameFeed(int fps, Sink sink, std::chrono::milliseconds settleDelay);

  // On the feed thread.
  void deliver(DesktopVideoFrame frame, bool repeat);
  void repeatLast();
  void settle();
  void answerKeyframe(std::uint64_t freshAtRequest);

  const Clock::duration interval_;
  const std::chrono::milliseconds settleDelay_;
  const Sink sink_;
  const std::shared_ptr<SerialQueue> queue_;
  std::atomic<std::uint64_t> fresh_{0};
  std::atomic<std::uint64_t> repeats_{0};

  // On the feed thread.
  std::optional<DesktopVideoFrame> last_;  // as it went in, with the pts it was given
  Clock::time_point lastIn_{};             // when it went in
  bool lastWasRepeat_ = false;
  bool settlePending_ = false;
  bool keyframePending_ = false;
};

}  // namespace vela
