#pragma once

// A recording written behind the encoder a session shares with its WebRTC peer: a
// RecordingBranch (queue ! mp4mux ! filesink) in a bin on the SharedEncoder's tee. The
// pictures come from the tee; where they enter the bin, the first and last time stamps
// are noted for the duration. finish() first has the encoder bring a still picture up
// to now (SharedEncoder::catchUp), so the file lasts as long as the session did.
//
// finish() ends this branch alone: the pipeline also holds webrtcbin, which must not
// see an EOS. A failing branch (a full disk) stops the recording only: from the error
// on, frames for it are dropped at the tee, so the peer keeps streaming. Thread-safe.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <gst/gst.h>

#include "desktop/linux/recording/recording_branch.h"
#include "desktop/linux/recording/recording_sink.h"
#include "desktop/linux/recording/sink_drain.h"
#include "desktop/linux/media/shared_encoder.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class SharedRecording final : public RecordingSink, public std::enable_shared_from_this<SharedRecording> {
 public:
  // The file exists afterwards; failures carry DesktopRecording's start texts.
  static Result<std::shared_ptr<SharedRecording>> create(std::shared_ptr<SharedEncoder> encoder,
                                                         const std::string& path, int width, int height);
  ~SharedRecording() override;

  Status status() const override { return status_.load(); }
  double durationS() const override;
  void finish(std::function<void(Status)> done) override;

 private:
  // Shared with the probe where pictures enter the bin, which may outlive the recording.
  struct Intake {
    std::atomic<bool> drop{false};  // once set, pictures for this branch are dropped there
    Mutex mu;
    std::optional<GstClockTime> first GUARDED_BY(mu);
    GstClockTime last GUARDED_BY(mu) = 0;
    GstClockTime lastRunning GUARDED_BY(mu) = 0;
    // Runs once a picture at running time `until` or later has entered.
    std::optional<GstClockTime> until GUARDED_BY(mu);
    std::function<void()> reached GUARDED_BY(mu);
  };

  SharedRecording(std::shared_ptr<SharedEncoder> encoder, GstElement* bin, RecordingBranch branch);
  static GstPadProbeReturn takePicture(GstPad* pad, GstPadProbeInfo* info, gpointer intake);
  void fail(const std::string& why);
  void awaitPicture(std::optional<GstClockTime> until);
  void detach();
  void end();

  const std::shared_ptr<SharedEncoder> encoder_;
  GstElement* const bin_;  // one reference
  RecordingBranch branch_;
  std::atomic<Status> status_{Status::writing};
  std::atomic<bool> started_{false};  // a failing start is reported by create(), not logged
  std::atomic<bool> detached_{false};
  const std::shared_ptr<Intake> intake_ = std::make_shared<Intake>();

  mutable Mutex mu_;
  std::string lastError_ GUARDED_BY(mu_);
  SinkDrain drain_;
};

}  // namespace vela
