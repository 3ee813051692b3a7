#include "desktop/linux/webrtc/peer_video_policy.h"

#include <algorithm>
#include <limits>

namespace vela::PeerVideoPolicy {

std::int64_t bitrateCap(int width, int height, int fps) {
  // Integer arithmetic is the exact floor of the tenth; negative inputs fall to the floor.
  // Three 32-bit factors need up to 93 bits, so the product is taken in 128.
  const __int128 tenth = __int128{width} * height * fps / 10;
  const __int128 ceiling = std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(std::clamp<__int128>(tenth, 2'000'000, ceiling));
}

Size encodedSize(Size frame, Size target) {
  auto even = [](std::int64_t v) { return static_cast<int>(std::max<std::int64_t>(2, v & ~std::int64_t{1})); };
  if (frame.width <= 0 || frame.height <= 0) return {2, 2};
  if (target.width <= 0 || target.height <= 0 || (frame.width <= target.width && frame.height <= target.height)) {
    return {even(frame.width), even(frame.height)};
  }
  // Scale by the tighter of the two ratios, compared without floating point.
  if (std::int64_t{target.width} * frame.height <= std::int64_t{target.height} * frame.width) {
    return {even(target.width), even(std::int64_t{frame.height} * target.width / frame.width)};
  }
  return {even(std::int64_t{frame.width} * target.height / frame.height), even(target.height)};
}

}  // namespace vela::PeerVideoPolicy
