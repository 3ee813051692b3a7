#pragma once

// The media writer behind DesktopRecorder: a GStreamer pipeline
//   appsrc (BGRA) ! videoconvert ! video/x-raw,format=I420
//     ! x264enc tune=zerolatency speed-preset=ultrafast ! h264parse ! RecordingBranch
// fed with captured frames and ended with an EOS that drains the encoder into the file.
//
// Status moves writing → completed after a clean finish, or to failed on the first
// pipeline error (a full disk, a vanished directory); a failed writer takes no frames.
// Thread-safe: push() from the capture thread, finish() from any thread; errors are
// noticed on GStreamer's threads.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <gst/gst.h>

#include "desktop/recording/recording_branch.h"
#include "remote/desktop/desktop_recording.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class RecordingWriter : public std::enable_shared_from_this<RecordingWriter> {
 public:
  enum class Status { writing, completed, failed };

  // Builds the pipeline for `path` and starts it; the file exists afterwards.
  static Result<std::shared_ptr<RecordingWriter>> create(const std::string& path, int width,
                                                         int height);
  ~RecordingWriter();

  Status status() const { return status_.load(); }
  // False when the frame was not taken: the encoder is behind or the writer is not
  // writing. `pts` is relative to the recording's first frame.
  bool push(const BGRAFrame& frame, MediaTime pts);
  // Drains and closes the file, then calls `done` once on a GStreamer worker thread
  // with the final status, after the pipeline is down.
  void finish(std::function<void(Status)> done);
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
  std::atomic<bool> finishing_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> sinkSawEndOfStream_{false};
  std::atomic<bool> started_{false};

  mutable Mutex mu_;
  std::function<void(Status)> done_ GUARDED_BY(mu_);
  std::string lastError_ GUARDED_BY(mu_);
  std::shared_ptr<RecordingWriter> keepAlive_ GUARDED_BY(mu_);  // set while finishing
};

}  // namespace vela
