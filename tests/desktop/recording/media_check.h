#pragma once

// Test helpers for recordings: a moving BGRA test pattern, and a full GStreamer decode
// of an MP4 file (qtdemux ! h264parse ! avdec_h264) that reports what came out.

#include <cstdint>
#include <string>
#include <vector>

namespace vela::testing {

// A gradient with a bright bar that moves with `index`; `noise` fills the picture with
// random bytes instead, which no encoder can compress.
std::vector<std::uint8_t> testPattern(int width, int height, int index, bool noise = false);

struct DecodedMedia {
  std::string error;  // the first pipeline error, empty when none
  int width = 0;
  int height = 0;
  int frames = 0;
  double firstS = 0;  // first frame's presentation time
  double endS = 0;    // last frame's presentation time plus its duration
};

DecodedMedia decodeMp4(const std::string& path);

}  // namespace vela::testing
