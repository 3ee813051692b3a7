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

}  // namespace vela::PeerVideoPolicy
