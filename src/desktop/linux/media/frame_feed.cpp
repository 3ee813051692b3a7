#include "desktop/linux/media/frame_feed.h"

#include <algorithm>

namespace vela {
namespace {

// The smallest step between two time stamps: a muxer refuses a repeated one.
constexpr std::chrono::nanoseconds kTick{1000};

}  // namespace

std::shared_ptr<FrameFeed> FrameFeed::create(int fps, Sink sink, std::chrono::milliseconds settleDelay) {
  return std::shared_ptr<FrameFeed>(new FrameFeed(fps, std::move(sink), settleDelay));
}

FrameFeed::FrameFeed(int fps, Sink sink, std::chrono::milliseconds settleDelay)
    : interval_(std::chrono::nanoseconds(1'000'000'000 / std::max(fps, 1))),
      settleDelay_(settleDelay),
      sink_(std::move(sink)),
      queue_(std::make_shared<SerialQueue>("vela.desktop.feed")) {}

FrameFeed::~FrameFeed() = default;

void FrameFeed::push(DesktopVideoFrame frame) {
  queue_->async([weak = weak_from_this(), frame = std::move(frame)]() mutable {
    if (auto self = weak.lock()) self->deliver(std::move(frame), false);
  });
}

void FrameFeed::keyframeRequested() {
  queue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || std::exchange(self->keyframePending_, true)) return;
    self->queue_->after(self->interval_, [weak, fresh = self->fresh_.load()] {
      if (auto s = weak.lock()) s->answerKeyframe(fresh);
    });
  });
}

void FrameFeed::catchUp(std::function<void(std::optional<std::chrono::nanoseconds>)> done) {
  queue_->async([weak = weak_from_this(), done = std::move(done)] {
    auto self = weak.lock();
    if (!self || !self->last_) {
      done(std::nullopt);
      return;
    }
    if (Clock::now() - self->lastIn_ >= kCatchUpAfter) self->repeatLast();
    done(self->last_->pts);
  });
}

void FrameFeed::then(std::function<void()> task) { queue_->async(std::move(task)); }

void FrameFeed::after(Clock::duration delay, std::function<void()> task) { queue_->after(delay, std::move(task)); }

void FrameFeed::deliver(DesktopVideoFrame frame, bool repeat) {
  // Frames captured before a repeat went in may carry an earlier time.
  if (last_) frame.pts = std::max(frame.pts, last_->pts + kTick);
  const auto now = Clock::now();
  sink_(frame);
  last_ = std::move(frame);
  lastIn_ = now;
  lastWasRepeat_ = repeat;
  if (repeat) {
    ++repeats_;
    return;
  }
  ++fresh_;
  if (!std::exchange(settlePending_, true)) {
    queue_->after(settleDelay_, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->settle();
    });
  }
}

void FrameFeed::repeatLast() {
  if (!last_) return;
  DesktopVideoFrame again = *last_;
  again.pts = last_->pts + std::max<std::chrono::nanoseconds>(Clock::now() - lastIn_, kTick);
  deliver(std::move(again), true);
}

// One timer at a time follows the changes: it fires a second after the first of them
// and waits again for the rest of a second after the latest.
void FrameFeed::settle() {
  settlePending_ = false;
  if (!last_ || lastWasRepeat_) return;
  const auto still = Clock::now() - lastIn_;
  if (still >= settleDelay_) {
    repeatLast();
    return;
  }
  settlePending_ = true;
  queue_->after(settleDelay_ - still, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->settle();
  });
}

void FrameFeed::answerKeyframe(std::uint64_t freshAtRequest) {
  keyframePending_ = false;
  if (fresh_.load() == freshAtRequest) repeatLast();
}

}  // namespace vela
