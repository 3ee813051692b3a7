#pragma once

// One captured frame: BGRA pixels, rows `stride` bytes apart, kept alive by `owner`.
// Copies share the pixels. `contentSerial` changes whenever the pixels may differ from
// the previous frame of the same capture, so consumers can skip work for a repeat.

#include <chrono>
#include <cstdint>
#include <memory>

namespace vela {

struct PixelBuffer {
  int width = 0;
  int height = 0;
  int stride = 0;
  const std::uint8_t* data = nullptr;
  std::uint64_t contentSerial = 0;
  std::shared_ptr<const void> owner;
};

// Presentation time of a frame on the monotonic clock.
using MediaTime = std::chrono::nanoseconds;

}  // namespace vela
