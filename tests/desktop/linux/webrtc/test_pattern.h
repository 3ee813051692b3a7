#pragma once

// A moving BGRA test picture: a fixed gradient, a bar sweeping across it, and a 24-bit
// frame counter along the top edge (24 blocks of 40x40 pixels, most significant bit
// first, white for one) that the operator page reads back from the decoded video.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "desktop/desktop_video_input.h"

namespace vela::testing {

class TestPattern {
 public:
  TestPattern(int width, int height) : width_(width), height_(height), stride_(width * 4) {
    background_.resize(static_cast<std::size_t>(stride_) * height_);
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) {
        auto* p = &background_[static_cast<std::size_t>(y) * stride_ + x * 4];
        p[0] = static_cast<std::uint8_t>(x * 255 / std::max(1, width_ - 1));
        p[1] = static_cast<std::uint8_t>(y * 255 / std::max(1, height_ - 1));
        p[2] = 96;
        p[3] = 255;
      }
    }
  }

  DesktopVideoFrame next(std::uint32_t counter) {
    auto buffer = std::make_shared<std::vector<std::uint8_t>>(background_);
    std::uint8_t* pixels = buffer->data();
    const int barX = static_cast<int>((counter * 16) % static_cast<std::uint32_t>(std::max(1, width_ - 64)));
    for (int y = 40; y < height_; ++y)
      std::memset(pixels + static_cast<std::size_t>(y) * stride_ + barX * 4, 0xff, 64 * 4);
    for (int bit = 0; bit < 24 && (bit + 1) * 40 <= width_ && height_ >= 40; ++bit) {
      const std::uint8_t value = ((counter >> (23 - bit)) & 1) ? 0xff : 0x00;
      for (int y = 0; y < 40; ++y) {
        auto* row = pixels + static_cast<std::size_t>(y) * stride_ + bit * 40 * 4;
        std::memset(row, value, 40 * 4);
        for (int x = 0; x < 40; ++x) row[x * 4 + 3] = 0xff;
      }
    }
    return {std::shared_ptr<const std::uint8_t>(buffer, pixels), width_, height_, stride_};
  }

 private:
  const int width_, height_, stride_;
  std::vector<std::uint8_t> background_;
};

}  // namespace vela::testing
