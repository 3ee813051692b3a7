#pragma once

// One connection's tail on the session's SharedEncoder: queue, RTP payloader and
// webrtcbin in a bin on the encoder's tee. The encoder runs at the captured size: the
// recording behind it cannot change size mid-file, so only the bitrate follows the
// operator's target. Element operations are GStreamer's own thread-safe calls, so any
// thread may retune; `shutdown` must not run on one of the pipeline's own threads.

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "desktop/linux/media/shared_encoder.h"
#include "util/agent_error.h"

namespace vela {

class PeerPipeline {
 public:
  // A far end that goes away breaks writes a moment before its close is known here
  // (the page hangs up as it sends its close through the gateway): an error is judged
  // that long after it was posted.
  static constexpr std::chrono::milliseconds kCloseGrace{1000};

  static Result<std::unique_ptr<PeerPipeline>> attach(std::shared_ptr<SharedEncoder> encoder,
                                                      std::chrono::milliseconds closeGrace = kCloseGrace);
  ~PeerPipeline();
  PeerPipeline(const PeerPipeline&) = delete;
  PeerPipeline& operator=(const PeerPipeline&) = delete;

  GstElement* webrtc() const { return webrtc_; }

  void setBitrate(std::int64_t bitsPerSecond) { encoder_->setBitrate(bitsPerSecond); }
  std::uint32_t bitrateKbps() const { return encoder_->bitrateKbps(); }
  // Encoded pictures that reached this connection.
  std::uint64_t framesEncoded() const { return encoded_->load(); }
  // An IDR picture with parameter sets soon, for a receiver that just connected.
  void requestKeyframe() { encoder_->requestKeyframe(); }

  // Makes the video transceiver send-only; REQUIRES the pipeline in READY or later.
  void makeSendOnly();
  // PLAYING connects the tail to the encoder and asks it for a keyframe.
  Result<void> setState(GstState state);
  // Off the encoder and to NULL, and stays there; marks the pipeline closing first.
  // Idempotent.
  void shutdown();

  // Once the connection is being closed, from either end, a transport that can no
  // longer write is expected: the errors GStreamer posts from then on, or within the
  // close grace before, are logged at info, not as errors. Any thread.
  void markClosing() { closing_->store(true); }
  // Logs one of the pipeline's errors at the level `closing` calls for.
  static void reportError(const std::atomic<bool>& closing, const std::string& line);

 private:
  PeerPipeline() = default;

  std::shared_ptr<SharedEncoder> encoder_;
  GstElement* tail_ = nullptr;  // the bin on the encoder's tee
  GstElement* webrtc_ = nullptr;
  bool shutDown_ = false;
  // Shared with the pad probe, which may outlive a failed attach.
  std::shared_ptr<std::atomic<std::uint64_t>> encoded_ = std::make_shared<std::atomic<std::uint64_t>>(0);
  // Shared with the encoder's error handler, which may run after the pipeline is gone.
  std::shared_ptr<std::atomic<bool>> closing_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace vela
