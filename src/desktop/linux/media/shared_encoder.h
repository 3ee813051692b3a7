#pragma once

// The one H.264 encoder of a desktop session, shared by its recording and its WebRTC
// peer connections:
//   appsrc (BGRA) ! videoconvert ! video/x-raw,format=I420 ! x264enc
//     ! video/x-h264,profile=constrained-baseline ! h264parse
//     ! video/x-h264,stream-format=avc,alignment=au ! tee
// Consumers are branches: bins with one "sink" pad that are attached to the tee while
// the pipeline runs and detached again (the recording's muxer, each connection's
// payloader and webrtcbin). The pipeline plays from creation; it takes frames once an
// input size is fixed and stops when the object goes. A branch's sinks must not wait
// for preroll (async=false): one that did would take the whole live pipeline back to
// PAUSED, where the source stops, and the recording with it.
//
// Frames come from two feeders: the recording (a copy of a borrowed frame) and the
// peer (the capturer's own buffer, without a copy). Both see every captured frame, so
// the encoder takes a frame only when its pts is later than the last one taken: the
// first feeder to offer a frame encodes it, the second finds it taken. Thread-safe;
// `lock_` also orders the pushes so that time stamps never go backwards.

#include <gst/gst.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/desktop_peer.h"
#include "desktop/desktop_recording.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class SharedEncoder : public std::enable_shared_from_this<SharedEncoder> {
 public:
  // An element inside a branch reported an error; runs on the reporting thread.
  using BranchError = std::function<void(const std::string& message)>;

  // Builds the pipeline and sets it playing. REQUIRES: GStreamer initialised.
  static Result<std::shared_ptr<SharedEncoder>> create(int fps = 30);
  ~SharedEncoder();
  SharedEncoder(const SharedEncoder&) = delete;
  SharedEncoder& operator=(const SharedEncoder&) = delete;

  // Fixes the input size and sets the bitrate for it; later calls succeed only with
  // the same size.
  Result<void> configure(int width, int height);
  // False when the frame was not taken: already encoded, another size, none configured.
  bool push(const BGRAFrame& frame, MediaTime pts);
  bool push(const DesktopVideoFrame& frame);

  void setBitrate(std::int64_t bitsPerSecond);
  std::uint32_t bitrateKbps() const;
  // Asks x264 for an IDR picture with parameter sets, e.g. for a new receiver.
  void requestKeyframe();

  // Adds `bin` (its reference is taken) to the pipeline in the NULL state. Until
  // link(), its state is the caller's to set.
  void add(GstElement* bin, BranchError onError);
  // Connects the branch to the tee with the bin synced to the playing pipeline; the
  // branch receives the next frames (a new receiver should ask for a keyframe).
  Result<void> link(GstElement* bin);
  // Cuts the branch off the tee between two frames, then stops and removes it.
  // REQUIRES: not on one of this pipeline's streaming threads.
  void remove(GstElement* bin);

  GstElement* pipeline() const { return pipeline_; }
  // Runs `task` on a GStreamer worker thread, where stopping elements is allowed.
  void runOffStreamingThread(std::function<void()> task);

 private:
  SharedEncoder() = default;
  static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* message, gpointer self);
  bool pushBuffer(GstBuffer* buffer, int width, int height, MediaTime pts);

  struct Branch {
    GstElement* bin = nullptr;  // one reference
    GstPad* teePad = nullptr;   // one reference, while linked
    BranchError onError;
    bool stopping = false;  // remove() has begun
  };

  GstElement* pipeline_ = nullptr;
  GstElement* source_ = nullptr;
  GstElement* encoder_ = nullptr;
  GstElement* tee_ = nullptr;
  int fps_ = 30;

  mutable Mutex lock_;
  int width_ GUARDED_BY(lock_) = 0;  // 0 until configured
  int height_ GUARDED_BY(lock_) = 0;
  std::optional<MediaTime> origin_ GUARDED_BY(lock_);  // pts of the first frame taken
  std::optional<MediaTime> lastTaken_ GUARDED_BY(lock_);
  bool warnedSize_ GUARDED_BY(lock_) = false;
  // Recycles the copies of borrowed frames: a fresh frame-sized block per frame is a
  // fresh mapping (the heap maps blocks this large), faulted in page by page.
  GstBufferPool* copies_ GUARDED_BY(lock_) = nullptr;

  mutable Mutex branchLock_;
  std::vector<Branch> branches_ GUARDED_BY(branchLock_);
};

}  // namespace vela
