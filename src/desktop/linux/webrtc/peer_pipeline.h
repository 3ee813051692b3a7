#pragma once

// One connection's GStreamer pipeline: BGRA frames in through appsrc, scaled and
// converted to I420, H.264 from x264, RTP into webrtcbin. Owns its elements and logs
// what its bus reports; `shutdown` stops it. Element operations are GStreamer's own thread-safe calls, so any thread may
// push, resize or retune; `shutdown` must not run on one of the pipeline's own threads.
//
// Attached to a session's SharedEncoder instead, it is only the tail (queue, payloader,
// webrtcbin) in a bin on the encoder's tee, and the encoder runs at the captured size:
// the recording behind the same encoder cannot change size mid-file, so the target
// size is not applied and only the bitrate follows the target.

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "desktop/linux/media/shared_encoder.h"
#include "desktop/linux/webrtc/peer_video_policy.h"
#include "desktop/desktop_peer.h"
#include "util/agent_error.h"

namespace vela {

class PeerPipeline {
 public:
  struct Settings {
    int fps = 30;
    std::int64_t bitrate = 0;  // bits per second
  };

  static Result<std::unique_ptr<PeerPipeline>> build(const Settings& settings);
  static Result<std::unique_ptr<PeerPipeline>> attach(std::shared_ptr<SharedEncoder> encoder);
  ~PeerPipeline();
  PeerPipeline(const PeerPipeline&) = delete;
  PeerPipeline& operator=(const PeerPipeline&) = delete;

  GstElement* webrtc() const { return webrtc_; }
  // The pipeline this connection owns; null when attached to a shared encoder.
  GstElement* ownPipeline() const { return pipeline_; }

  // Describes the next frames to appsrc when their geometry changes.
  void setInputFormat(int width, int height, int fps);
  void setEncodedSize(PeerVideoPolicy::Size size);
  void setBitrate(std::int64_t bitsPerSecond);
  std::uint32_t bitrateKbps() const;
  // Encoded pictures that left x264 since the pipeline was built.
  std::uint64_t framesEncoded() const { return encoded_->load(); }
  // An IDR picture with parameter sets soon, for a receiver that just connected.
  void requestKeyframe();
  // Wraps the frame's pixels without copying; the buffer keeps the frame's owner alive.
  void push(const DesktopVideoFrame& frame);

  // Makes the video transceiver send-only; REQUIRES the pipeline in READY or later.
  // PLAYING connects an attached tail to the encoder.
  void makeSendOnly();
  Result<void> setState(GstState state);
  // To NULL and stays there; marks the pipeline closing first. Idempotent.
  void shutdown();

  // Once the connection is being closed, from either end, a transport that can no
  // longer write is expected: the errors GStreamer posts from then on are logged at
  // info, not as errors. Any thread.
  void markClosing() { closing_->store(true); }
  // Logs one of the pipeline's errors at the level `closing` calls for.
  static void reportError(const std::atomic<bool>& closing, const std::string& line);

 private:
  PeerPipeline() = default;
  void countEncoded(GstPad* pad);

  GstElement* pipeline_ = nullptr;
  GstElement* source_ = nullptr;
  GstElement* sizeFilter_ = nullptr;
  GstElement* encoder_ = nullptr;
  GstElement* webrtc_ = nullptr;
  std::shared_ptr<SharedEncoder> shared_;
  GstElement* tail_ = nullptr;  // the bin on the shared encoder's tee
  bool shutDown_ = false;
  // Shared with the encoder's pad probe, which may outlive a failed build.
  std::shared_ptr<std::atomic<std::uint64_t>> encoded_ = std::make_shared<std::atomic<std::uint64_t>>(0);
  // Shared with the bus handlers, which may run after the pipeline is gone.
  std::shared_ptr<std::atomic<bool>> closing_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace vela
