#pragma once

// H264Encoder on GStreamer: appsrc ! videoconvert ! I420 ! x264enc (zero latency, no
// B-frames, ultrafast) ! appsink in avc form, converted to Annex-B here. Frames are
// handed to the pipeline without copying. A frame whose content repeats the previous
// one (same contentSerial) is encoded for one more second, while the picture sharpens,
// and then once a second: a still screen costs next to nothing while the stream stays
// alive. Thread-safe.

#include <gst/gst.h>

#include <memory>
#include <optional>

#include "desktop/linux/media/annex_b.h"
#include "desktop/linux/media/h264_encoder.h"
#include "util/mutex.h"

namespace vela {

class GstH264Encoder : public H264Encoder {
 public:
  static Result<std::shared_ptr<GstH264Encoder>, EncoderError> create(Config config);
  ~GstH264Encoder() override;

  void setOnEncodedFrame(OutputHandler handler) override;
  Result<void, EncoderError> encode(const PixelBuffer& frame, MediaTime pts, bool forceKeyframe) override;
  void setBitrate(std::int32_t bitsPerSecond) override;
  void stop() override;

  // Frames handed to the pipeline (repeats skipped on a still screen are not counted).
  std::uint64_t framesSubmitted() const;

 private:
  explicit GstH264Encoder(Config config) : config_(config) {}
  static GstFlowReturn onNewSample(GstElement* sink, gpointer self);
  void handleSample(GstSample* sample);
  std::optional<EncoderError> busError(EncoderError::Kind kind);
  bool shouldSkipRepeat(const PixelBuffer& frame, MediaTime pts, bool forceKeyframe) REQUIRES(mu_);

  const Config config_;
  GstElement* pipeline_ = nullptr;
  GstElement* source_ = nullptr;
  GstElement* encoder_ = nullptr;

  Mutex pipelineMu_;  // held while a frame enters the pipeline and while it is torn down
  mutable Mutex mu_ ACQUIRED_AFTER(pipelineMu_);
  OutputHandler onEncoded_ GUARDED_BY(mu_);
  std::optional<AnnexB::ParameterSets> parameterSets_ GUARDED_BY(mu_);
  GstCaps* parameterCaps_ GUARDED_BY(mu_) = nullptr;  // the caps parameterSets_ came from
  bool stopped_ GUARDED_BY(mu_) = false;
  std::optional<MediaTime> firstPTS_ GUARDED_BY(mu_);
  std::optional<MediaTime> lastSubmittedPTS_ GUARDED_BY(mu_);
  std::uint64_t lastSerial_ GUARDED_BY(mu_) = 0;
  int repeats_ GUARDED_BY(mu_) = 0;
  std::uint64_t submitted_ GUARDED_BY(mu_) = 0;
};

}  // namespace vela
