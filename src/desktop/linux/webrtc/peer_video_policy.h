#pragma once

// The peer's rate rule, kept free of GStreamer.

#include <cstdint>

namespace vela::PeerVideoPolicy {

// b = max(floor(w*h*fps*0.1), 2,000,000) bits per second.
std::int64_t bitrateCap(int width, int height, int fps);

}  // namespace vela::PeerVideoPolicy
