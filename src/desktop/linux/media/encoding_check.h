#pragma once

// The preflight's encoder: a SharedEncoder with one branch, a sink that counts the
// pictures and bytes reaching it and notes a keyframe. Thread-safe; the count lives
// apart from the object, since the sink's probe may outlive it.

#include <gst/gst.h>

#include <memory>

#include "desktop/desktop_video_input.h"
#include "desktop/linux/media/shared_encoder.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class EncodingCheck final : public DesktopEncodingCheck {
 public:
  // Initialises GStreamer; fails with "H.264 encoder pipeline failed to start (<why>)".
  static Result<std::shared_ptr<EncodingCheck>> create(int fps);
  ~EncodingCheck() override;
  EncodingCheck(const EncodingCheck&) = delete;
  EncodingCheck& operator=(const EncodingCheck&) = delete;

  bool push(const DesktopVideoFrame& frame) override { return encoder_->push(frame); }
  Tally finish() override;

 private:
  struct Count {
    Mutex mu;
    CondVar ended;
    Tally tally GUARDED_BY(mu);
    bool sawEnd GUARDED_BY(mu) = false;
  };

  EncodingCheck(std::shared_ptr<SharedEncoder> encoder, GstElement* sink)
      : encoder_(std::move(encoder)), sink_(sink) {}
  // The sink's probe: counts each picture and notes the end of the stream.
  static GstPadProbeReturn countOutput(GstPad* pad, GstPadProbeInfo* info, gpointer count);

  const std::shared_ptr<SharedEncoder> encoder_;
  GstElement* const sink_;  // one reference
  const std::shared_ptr<Count> count_ = std::make_shared<Count>();
};

}  // namespace vela
