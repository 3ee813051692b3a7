#pragma once

// The media writer behind DesktopRecorder: a GStreamer pipeline
//   appsrc (BGRA) ! videoconvert ! video/x-raw,format=I420
//     ! x264enc tune=zerolatency speed-preset=ultrafast ! h264parse ! RecordingBranch
// fed with captured frames and ended with an EOS that drains the encoder into the file.
//
// It fails on the first pipeline error (a full disk, a vanished directory).
// Thread-safe: push() from the capture thread, finish() from any thread; errors are
// noticed on GStreamer's threads.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <gst/gst.h>

#include "desktop/linux/recording/recording_branch.h"
#include "desktop/linux/recording/recording_sink.h"
#include "desktop/linux/recording/sink_drain.h"
#include "desktop/desktop_recording.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class RecordingWriter final : public RecordingSink, public std::enable_shared_from_this<RecordingWriter> {
 public:

  // Builds the pipeline for `path` and starts it; the file exists afterwards.
  static Result<std::shared_ptr<RecordingWriter>> create(const std::string& path, int width,
                                                         int height);
  ~RecordingWriter() override;

  Status status() const override { return status_.load(); }
  // Also false when the encoder is behind.
  bool push(const BGRAFrame& frame, MediaTime pts) override;
  // `done` runs after the pipeline is down.
  void finish(std::function<void(Status)> done) override;
  // The last pipeline error, for logs.
  std::string lastError() const;

 private:
  RecordingWriter(GstElement* pipeline, GstElement* source, RecordingBranch branch, int width,
                  int height);

  static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* message, gpointer self);
  void endTheFinish();

  // Frames queued inside appsrc before new ones are dropped: a writer that falls behind
  // loses frames instead of buffering raw video without bound.
  static constexpr guint64 kMaxQueuedFrames = 4;

  GstElement* const pipeline_;
  GstElement* const source_;
  RecordingBranch branch_;
  const int width_;
  const int height_;
  std::atomic<Status> status_{Status::writing};
  std::atomic<bool> sinkSawEndOfStream_{false};
  std::atomic<bool> started_{false};
  std::optional<MediaTime> origin_;  // pts of the first frame; push() calls are serialised

  mutable Mutex mu_;
  std::string lastError_ GUARDED_BY(mu_);
  SinkDrain drain_;
};

}  // namespace vela
