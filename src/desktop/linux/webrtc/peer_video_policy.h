#pragma once

// The peer's sizing and rate rules, kept free of GStreamer.

#include <cstdint>

namespace vela::PeerVideoPolicy {

struct Size {
  int width = 0;
  int height = 0;
  bool operator==(const Size&) const = default;
};

// b = max(floor(w*h*fps*0.1), 2,000,000) bits per second.
std::int64_t bitrateCap(int width, int height, int fps);

// The encoded size for a captured frame under a target: the frame scaled down, aspect
// kept, to fit the target, never scaled up; even dimensions for I420, at least 2x2.
Size encodedSize(Size frame, Size target);

}  // namespace vela::PeerVideoPolicy
