#pragma once

// The self-contained capture-to-H.264 pipeline: frames of one display go through an
// encoder created on the first frame (from its size, with a 2 s keyframe interval) to
// the video sink. A failed encoder creation leaves the session without one and frames
// are dropped. Thread-safe; the sink runs on the encoder's thread.

#include <memory>

#include "desktop/linux/media/h264_encoder.h"
#include "desktop/screen_capturer.h"
#include "util/mutex.h"

namespace vela {

class DesktopSession : public std::enable_shared_from_this<DesktopSession> {
 public:
  using EncoderFactory = std::function<Result<std::shared_ptr<H264Encoder>, EncoderError>(H264Encoder::Config)>;
  struct Stats {
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
  };

  // REQUIRES: `capturer` was made at `fps` with the cursor shown and is not started.
  static std::shared_ptr<DesktopSession> create(std::shared_ptr<ScreenCapturer> capturer, EncoderFactory makeEncoder,
                                                int fps, std::int32_t bitrate);
  ~DesktopSession();

  void setVideoSink(H264Encoder::OutputHandler sink);
  void setOnStopped(ScreenCapturer::StopHandler handler);
  void start(std::optional<std::uint32_t> displayID, ScreenCapturer::StartCompletion completion);
  void stop();
  void requestKeyframe();
  void setBitrate(std::int32_t bitsPerSecond);
  Stats stats() const;

 private:
  DesktopSession(std::shared_ptr<ScreenCapturer> capturer, EncoderFactory makeEncoder, int fps, std::int32_t bitrate)
      : capturer_(std::move(capturer)), makeEncoder_(std::move(makeEncoder)), fps_(fps), bitrate_(bitrate) {}
  void handleFrame(const PixelBuffer& frame, MediaTime pts);
  void handleOutput(const Bytes& annexB, bool isKeyframe);

  const std::shared_ptr<ScreenCapturer> capturer_;
  const EncoderFactory makeEncoder_;
  const int fps_;

  mutable Mutex mu_;
  std::int32_t bitrate_ GUARDED_BY(mu_);
  H264Encoder::OutputHandler videoSink_ GUARDED_BY(mu_);
  ScreenCapturer::StopHandler onStopped_ GUARDED_BY(mu_);
  std::shared_ptr<H264Encoder> encoder_ GUARDED_BY(mu_);
  bool encoderFailed_ GUARDED_BY(mu_) = false;
  bool pendingKeyframe_ GUARDED_BY(mu_) = true;
  bool running_ GUARDED_BY(mu_) = false;
  Stats stats_ GUARDED_BY(mu_);
};

}  // namespace vela
