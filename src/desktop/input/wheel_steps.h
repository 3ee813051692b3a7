#pragma once

// Browser wheel deltas are pixels; a wheel step scrolls about three text lines, roughly
// 50 pixels, in common toolkits. Partial steps carry over to the next delta in the same
// direction, so a trackpad's small deltas still add up to steps; a turn of direction
// starts afresh rather than first paying off the old partial step. One axis, one owner.

#include <algorithm>
#include <cstdint>

namespace vela {

class WheelSteps {
 public:
  static constexpr int kPixelsPerStep = 50;
  // One event never posts more steps than this; the rest of a huge delta is dropped.
  static constexpr int kMaxStepsPerEvent = 20;

  // The whole steps (signed) that `pixels` completes.
  int add(std::int32_t pixels) {
    if (pixels == 0) return 0;
    if ((remainder_ > 0 && pixels < 0) || (remainder_ < 0 && pixels > 0)) remainder_ = 0;
    remainder_ += pixels;
    std::int64_t steps = remainder_ / kPixelsPerStep;
    remainder_ -= steps * kPixelsPerStep;
    return static_cast<int>(std::clamp<std::int64_t>(steps, -kMaxStepsPerEvent, kMaxStepsPerEvent));
  }

 private:
  std::int64_t remainder_ = 0;
};

}  // namespace vela
