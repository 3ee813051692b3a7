#pragma once

// Test helpers for recordings and encoders: a moving BGRA test pattern fed as a capturer
// would, a wait for finalize's record, and a full GStreamer decode (h264parse !
// avdec_h264) that reports what came out.

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/desktop_recording.h"

struct _GstElement;

namespace vela::testing {

// TestPattern's picture number `index`.
std::vector<std::uint8_t> testPattern(int width, int height, int index);

// `count` frames at no more than 30 fps, time-stamped 1/30 s apart: a slow (sanitised)
// build produces them more slowly but the media time, and so the fragments, stay the
// same. Eight distinct pictures are made up front and cycled.
inline void feed(DesktopRecording& recording, int width, int height, int count) {
  std::vector<std::vector<std::uint8_t>> pictures;
  for (int i = 0; i < 8; ++i) pictures.push_back(testPattern(width, height, i * 4));
  const auto frameTime = std::chrono::nanoseconds(1'000'000'000 / 30);
  auto due = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    recording.append(BGRAFrame{pictures[std::size_t(i) % 8].data(), width, height, width * 4}, frameTime * i);
    std::this_thread::sleep_until(due += frameTime);
  }
}

// The record `finalize` reports, once it has; none when the recording failed.
inline std::optional<DesktopRecordingFinal> finalizeAndWait(DesktopRecording& recording) {
  std::promise<std::optional<DesktopRecordingFinal>> done;
  recording.finalize([&](std::optional<DesktopRecordingFinal> final) { done.set_value(final); });
  return done.get_future().get();
}

struct DecodedMedia {
  std::string error;  // the first pipeline error, empty when none
  int width = 0;
  int height = 0;
  int frames = 0;
  double firstS = 0;  // first frame's presentation time
  double endS = 0;    // last frame's presentation time plus its duration
};

// Decodes the H.264 that `source` (the head of a gst-launch description) yields. With
// `push`, the source is an appsrc named "src" that `push` fills and ends.
DecodedMedia decodeH264(const std::string& source, const std::function<void(_GstElement* src)>& push = {});
inline DecodedMedia decodeMp4(const std::string& path) {
  return decodeH264("filesrc location=\"" + path + "\" ! qtdemux");
}

}  // namespace vela::testing
