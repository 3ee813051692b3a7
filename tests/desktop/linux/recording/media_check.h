#pragma once

// Test helpers for recordings and encoders: a moving BGRA test pattern fed as a capturer
// would, the recorder as a session composes it, a wait for finalize's record, and a
// full GStreamer decode (h264parse ! avdec_h264) that reports what came out.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/desktop_recording.h"
#include "desktop/desktop_video_input.h"
#include "desktop/linux/recording/desktop_recorder.h"
#include "desktop/linux/recording/shared_recording.h"

struct _GstElement;

namespace vela::testing {

// TestPattern's picture number `index`.
std::vector<std::uint8_t> testPattern(int width, int height, int index);

// `count` frames into `input` at no more than 30 fps, time-stamped 1/30 s apart from
// `pts` on: a slow (sanitised) build produces them more slowly but the media time, and
// so the fragments, stay the same. Eight distinct pictures are made up front and cycled.
// Returns how many the input took.
inline int feed(DesktopVideoInput& input, int width, int height, int count,
                std::chrono::nanoseconds pts = std::chrono::nanoseconds(0)) {
  std::vector<std::shared_ptr<const std::vector<std::uint8_t>>> pictures;
  for (int i = 0; i < 8; ++i) {
    pictures.push_back(std::make_shared<const std::vector<std::uint8_t>>(testPattern(width, height, i * 4)));
  }
  const auto frameTime = std::chrono::nanoseconds(1'000'000'000 / 30);
  auto due = std::chrono::steady_clock::now();
  int taken = 0;
  for (int i = 0; i < count; ++i) {
    const auto& picture = pictures[std::size_t(i) % 8];
    if (input.push({{picture, picture->data()}, width, height, width * 4, pts + frameTime * i})) ++taken;
    std::this_thread::sleep_until(due += frameTime);
  }
  return taken;
}

// The recorder as makeSessionMedia composes it; a `file` replaces the path it picks.
inline std::shared_ptr<DesktopRecorder> sessionRecorder(const std::shared_ptr<SharedEncoder>& encoder,
                                                        const std::filesystem::path& dir,
                                                        std::optional<std::string> file = {}) {
  return DesktopRecorder::create(dir, [encoder, file](const std::string& path, int w,
                                                      int h) -> Result<std::shared_ptr<RecordingSink>> {
    return SharedRecording::create(encoder, file.value_or(path), w, h);
  });
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
