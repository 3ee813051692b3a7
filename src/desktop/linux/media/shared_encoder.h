#pragma once

// The one H.264 encoder of a desktop session, the only one in the agent:
//   appsrc (BGRA) ! videoconvertscale ! I420 at the sent size ! x264 (constrained
//     baseline) ! h264parse
//     ! avc, one access unit per buffer ! tee
// Each captured frame enters it once, wrapped without a copy, through a FrameFeed that
// orders the frames and feeds the last one again where a still screen needs it (a
// keyframe asked for upstream or here, a muxer to flush). Consumers are branches:
// bins with one "sink" pad that are attached to the tee while the pipeline runs and
// detached again (the recording's muxer, each connection's payloader and webrtcbin, the
// preflight's tally). The pipeline plays from creation; it takes frames once an input
// size is fixed and stops when the object goes. A branch's sinks must not wait for
// preroll (async=false): one that did would take the whole live pipeline back to
// PAUSED, where the source stops, and the recording with it. Thread-safe.

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/desktop_video_input.h"
#include "desktop/linux/media/frame_feed.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class SharedEncoder final : public DesktopVideoInput, public std::enable_shared_from_this<SharedEncoder> {
 public:
  // An element inside a branch reported an error; runs on the reporting thread.
  using BranchError = std::function<void(const std::string& message)>;

  // Fails naming the first element of the encoder that is not installed.
  static Result<void> requireElements();
  // Builds the pipeline and sets it playing; errors carry GStreamer's reason alone.
  // REQUIRES: GStreamer initialised.
  static Result<std::shared_ptr<SharedEncoder>> create(int fps = 30,
                                                       std::chrono::milliseconds settleDelay = FrameFeed::kSettleDelay);
  ~SharedEncoder() override;
  SharedEncoder(const SharedEncoder&) = delete;
  SharedEncoder& operator=(const SharedEncoder&) = delete;

  // At most this many pixels a picture are encoded: 1080p, what one core's half holds at
  // 30 fps on the machines measured (bench/desktop/screen_media_bench.cpp).
  static constexpr std::int64_t kMaxSentPixels = 1920 * 1080;

  // Fixes the input size, the sent size for it and the bitrate for that; later calls
  // succeed only with the same size.
  Result<void> configure(int width, int height);
  Size sentSize(Size captured) const override;
  // The source is leaky: when x264 lags, the oldest waiting frame is dropped rather than
  // latency queued. Frames go in on the feed's thread: true means taken for it.
  bool push(const DesktopVideoFrame& frame) override;
  // What waits in the encoder is encoded and passed on, then the end of the stream
  // reaches every linked branch; later frames are refused.
  void endInput();
  // Brings the stream up to now on a still screen (FrameFeed::catchUp); `done` gets the
  // running time of the picture that does, or nothing before the first frame. (x264 may
  // shift time stamps, with its segment, so running time is what a branch can compare.)
  void catchUp(std::function<void(std::optional<GstClockTime>)> done);
  // Runs `task` on the feed's thread after `delay`.
  void after(std::chrono::milliseconds delay, std::function<void()> task);
  FrameFeed::Counts feedCounts() const { return feed_->counts(); }

  void setBitrate(std::int64_t bitsPerSecond);
  std::uint32_t bitrateKbps() const;
  // Asks x264 for an IDR picture with parameter sets, e.g. for a new receiver; on a
  // still screen the last frame is encoded again for it. Requests from a branch
  // (a decoder's picture-loss report) are answered the same way.
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

  // Runs `task` on a GStreamer worker thread, where stopping elements is allowed.
  void runOffStreamingThread(std::function<void()> task);

 private:
  SharedEncoder() = default;
  static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* message, gpointer self);
  static GstPadProbeReturn onUpstreamEvent(GstPad* pad, GstPadProbeInfo* info, gpointer feed);
  // On the feed's thread.
  void enter(const DesktopVideoFrame& frame);
  GstClockTime outputTime(std::chrono::nanoseconds pts);

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
  GstElement* size_ = nullptr;  // the capsfilter fixing the sent size
  int fps_ = 30;
  std::shared_ptr<FrameFeed> feed_;
  std::atomic<bool> ended_{false};

  mutable Mutex lock_;
  int width_ GUARDED_BY(lock_) = 0;  // 0 until configured
  int height_ GUARDED_BY(lock_) = 0;
  std::optional<std::chrono::nanoseconds> origin_ GUARDED_BY(lock_);  // pts of the first frame taken
  bool warnedSize_ GUARDED_BY(lock_) = false;

  mutable Mutex branchLock_;
  std::vector<Branch> branches_ GUARDED_BY(branchLock_);
};

}  // namespace vela
