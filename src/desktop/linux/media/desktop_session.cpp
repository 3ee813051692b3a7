#include "desktop/linux/media/desktop_session.h"

#include "util/log.h"

namespace vela {

std::shared_ptr<DesktopSession> DesktopSession::create(std::shared_ptr<ScreenCapturer> capturer,
                                                       EncoderFactory makeEncoder, int fps, std::int32_t bitrate) {
  return std::shared_ptr<DesktopSession>(new DesktopSession(std::move(capturer), std::move(makeEncoder), fps, bitrate));
}

DesktopSession::~DesktopSession() { stop(); }

void DesktopSession::setVideoSink(H264Encoder::OutputHandler sink) {
  MutexLock lock(mu_);
  videoSink_ = std::move(sink);
}

void DesktopSession::setOnStopped(ScreenCapturer::StopHandler handler) {
  MutexLock lock(mu_);
  onStopped_ = std::move(handler);
}

void DesktopSession::start(std::optional<std::uint32_t> displayID, ScreenCapturer::StartCompletion completion) {
  {
    MutexLock lock(mu_);
    running_ = true;
  }
  std::weak_ptr<DesktopSession> weak = weak_from_this();
  capturer_->setOnFrame([weak](const PixelBuffer& frame, MediaTime pts) {
    if (auto self = weak.lock()) self->handleFrame(frame, pts);
  });
  capturer_->setOnStopped([weak](const std::optional<AgentError>& error) {
    auto self = weak.lock();
    if (!self) return;
    ScreenCapturer::StopHandler handler;
    {
      MutexLock lock(self->mu_);
      self->running_ = false;
      handler = self->onStopped_;
    }
    if (handler) handler(error);
  });
  capturer_->start(displayID, std::move(completion));
}

void DesktopSession::stop() {
  capturer_->stop();
  std::shared_ptr<H264Encoder> encoder;
  {
    MutexLock lock(mu_);
    running_ = false;
    encoder = std::move(encoder_);
  }
  if (encoder) encoder->stop();
}

void DesktopSession::requestKeyframe() {
  MutexLock lock(mu_);
  pendingKeyframe_ = true;
}

void DesktopSession::setBitrate(std::int32_t bitsPerSecond) {
  std::shared_ptr<H264Encoder> encoder;
  {
    MutexLock lock(mu_);
    bitrate_ = bitsPerSecond;
    encoder = encoder_;
  }
  if (encoder) encoder->setBitrate(bitsPerSecond);
}

DesktopSession::Stats DesktopSession::stats() const {
  MutexLock lock(mu_);
  return stats_;
}

void DesktopSession::handleFrame(const PixelBuffer& frame, MediaTime pts) {
  std::shared_ptr<H264Encoder> encoder;
  bool force = false;
  bool create = false;
  H264Encoder::Config config{frame.width, frame.height, fps_, 0, 2};
  {
    MutexLock lock(mu_);
    if (!running_) return;
    ++stats_.frames;
    create = !encoder_ && !encoderFailed_;
    config.bitrate = bitrate_;
    encoder = encoder_;
  }
  if (create) {
    auto made = makeEncoder_(config);
    if (!made) Log::warn("desktop: " + made.error().description());
    std::weak_ptr<DesktopSession> weak = weak_from_this();
    if (made) (*made)->setOnEncodedFrame([weak](const Bytes& annexB, bool isKeyframe) {
      if (auto self = weak.lock()) self->handleOutput(annexB, isKeyframe);
    });
    MutexLock lock(mu_);
    if (!running_) {
      if (made) (*made)->stop();
      return;
    }
    encoderFailed_ = !made;
    if (made) encoder_ = *made;
    encoder = encoder_;
  }
  if (!encoder) return;
  {
    MutexLock lock(mu_);
    force = pendingKeyframe_;
    pendingKeyframe_ = false;
  }
  if (auto encoded = encoder->encode(frame, pts, force); !encoded)
    Log::debug([&] { return "desktop: " + encoded.error().description(); });
}

void DesktopSession::handleOutput(const Bytes& annexB, bool isKeyframe) {
  H264Encoder::OutputHandler sink;
  {
    MutexLock lock(mu_);
    stats_.bytes += annexB.size();
    sink = videoSink_;
  }
  if (sink) sink(annexB, isKeyframe);
}

}  // namespace vela
