#include "desktop/linux/media/gst_h264_encoder.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>

#include <algorithm>

#include "desktop/linux/media/gst_runtime.h"

namespace vela {
namespace {

using Kind = EncoderError::Kind;

tl::unexpected<EncoderError> failure(Kind kind, std::string status) {
  return tl::unexpected(EncoderError{kind, std::move(status)});
}

std::string pipelineText(const H264Encoder::Config& c) {
  int kbps = std::max(1, c.bitrate / 1000);
  int keyInterval = std::max(1, c.fps * std::max(1, c.keyframeIntervalSeconds));
  // Without the explicit I420 step videoconvert picks Y444 and x264 emits High 4:4:4,
  // which browsers cannot decode.
  return "appsrc name=src is-live=true format=time do-timestamp=false block=true max-buffers=2 "
         "caps=video/x-raw,format=BGRx,width=" + std::to_string(c.width) + ",height=" + std::to_string(c.height) +
         ",framerate=" + std::to_string(c.fps) + "/1 ! videoconvert ! video/x-raw,format=I420 "
         "! x264enc name=enc tune=zerolatency speed-preset=ultrafast bframes=0 key-int-max=" +
         std::to_string(keyInterval) + " bitrate=" + std::to_string(kbps) +
         " ! video/x-h264,stream-format=avc,alignment=au,profile=constrained-baseline "
         "! appsink name=sink sync=false emit-signals=true max-buffers=64";
}

void releaseFrame(gpointer frame) { delete static_cast<PixelBuffer*>(frame); }

}  // namespace

Result<std::shared_ptr<GstH264Encoder>, EncoderError> GstH264Encoder::create(Config config) {
  if (auto ready = GstRuntime::ensureInitialized(); !ready) return failure(Kind::sessionCreateFailed, ready.error().message);
  if (config.width < 2 || config.height < 2 || config.fps < 1)
    return failure(Kind::sessionCreateFailed, "invalid size or rate");
  std::shared_ptr<GstH264Encoder> self(new GstH264Encoder(config));
  auto launched = GstRuntime::launch(pipelineText(config));
  if (!launched) return failure(Kind::sessionCreateFailed, launched.error().message);
  self->pipeline_ = *launched;
  self->source_ = gst_bin_get_by_name(GST_BIN(self->pipeline_), "src");
  self->encoder_ = gst_bin_get_by_name(GST_BIN(self->pipeline_), "enc");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(self->pipeline_), "sink");
  // The pipeline is torn down in stop() before the object goes, so a raw pointer is safe.
  g_signal_connect(sink, "new-sample", G_CALLBACK(&GstH264Encoder::onNewSample), self.get());
  gst_object_unref(sink);
  if (gst_element_set_state(self->pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    auto error = self->busError(Kind::sessionCreateFailed);
    return tl::unexpected(error.value_or(EncoderError{Kind::sessionCreateFailed, "state change failure"}));
  }
  return self;
}

GstH264Encoder::~GstH264Encoder() { stop(); }

void GstH264Encoder::setOnEncodedFrame(OutputHandler handler) {
  MutexLock lock(mu_);
  onEncoded_ = std::move(handler);
}

std::uint64_t GstH264Encoder::framesSubmitted() const {
  MutexLock lock(mu_);
  return submitted_;
}

bool GstH264Encoder::shouldSkipRepeat(const PixelBuffer& frame, MediaTime pts, bool forceKeyframe) {
  bool repeat = frame.contentSerial != 0 && frame.contentSerial == lastSerial_;
  lastSerial_ = frame.contentSerial;
  repeats_ = repeat ? repeats_ + 1 : 0;
  if (!repeat || forceKeyframe || repeats_ <= config_.fps) return false;
  return lastSubmittedPTS_ && pts - *lastSubmittedPTS_ < std::chrono::seconds(1);
}

Result<void, EncoderError> GstH264Encoder::encode(const PixelBuffer& frame, MediaTime pts, bool forceKeyframe) {
  MutexLock pipelineLock(pipelineMu_);
  GstClockTime timestamp;
  {
    MutexLock lock(mu_);
    if (stopped_ || !source_) return failure(Kind::encodeFailed, "stopped");
    if (frame.width != config_.width || frame.height != config_.height)
      return failure(Kind::encodeFailed, "frame size " + std::to_string(frame.width) + "x" +
                                             std::to_string(frame.height) + " does not match the encoder");
    if (shouldSkipRepeat(frame, pts, forceKeyframe)) return {};
    if (!firstPTS_) firstPTS_ = pts;
    timestamp = static_cast<GstClockTime>(std::max<MediaTime::rep>(0, (pts - *firstPTS_).count()));
    lastSubmittedPTS_ = pts;
    ++submitted_;
  }
  if (auto error = busError(Kind::encodeFailed)) return tl::unexpected(*error);
  gsize size = static_cast<gsize>(frame.stride) * frame.height;
  auto* held = new PixelBuffer(frame);
  GstBuffer* buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<std::uint8_t*>(frame.data),
                                                  size, 0, size, held, &releaseFrame);
  if (frame.stride != frame.width * 4) {
    gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
    gint strides[GST_VIDEO_MAX_PLANES] = {frame.stride};
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGRx, frame.width,
                                   frame.height, 1, offsets, strides);
  }
  GST_BUFFER_PTS(buffer) = timestamp;
  if (forceKeyframe) {
    // Serialized ahead of this frame. No running time: the encoder offsets its own
    // running times, so a time here would be compared against the wrong clock.
    gst_element_send_event(source_, gst_video_event_new_downstream_force_key_unit(
                                        GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE, TRUE, 0));
  }
  GstFlowReturn flow = gst_app_src_push_buffer(GST_APP_SRC(source_), buffer);
  if (flow != GST_FLOW_OK) return failure(Kind::encodeFailed, gst_flow_get_name(flow));
  return {};
}

void GstH264Encoder::setBitrate(std::int32_t bitsPerSecond) {
  MutexLock lock(mu_);
  if (stopped_ || !encoder_) return;
  g_object_set(encoder_, "bitrate", static_cast<guint>(std::max(1, bitsPerSecond / 1000)), nullptr);
}

void GstH264Encoder::stop() {
  {
    MutexLock lock(mu_);
    if (stopped_) return;
    stopped_ = true;
  }
  MutexLock pipelineLock(pipelineMu_);
  if (!pipeline_) return;
  if (source_) {
    // Drains what is queued: every pending output is delivered before EOS reaches the bus.
    gst_app_src_end_of_stream(GST_APP_SRC(source_));
    GstBus* bus = gst_element_get_bus(pipeline_);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, 2 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    if (message) gst_message_unref(message);
    gst_object_unref(bus);
  }
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  if (source_) gst_object_unref(source_);
  if (encoder_) gst_object_unref(encoder_);
  gst_object_unref(pipeline_);
  MutexLock lock(mu_);
  source_ = encoder_ = pipeline_ = nullptr;
  if (parameterCaps_) gst_caps_unref(parameterCaps_);
  parameterCaps_ = nullptr;
}

std::optional<EncoderError> GstH264Encoder::busError(EncoderError::Kind kind) {
  GstBus* bus = gst_element_get_bus(pipeline_);
  GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
  gst_object_unref(bus);
  if (!message) return std::nullopt;
  GError* error = nullptr;
  gst_message_parse_error(message, &error, nullptr);
  EncoderError result{kind, error ? error->message : "error"};
  if (error) g_error_free(error);
  gst_message_unref(message);
  return result;
}

GstFlowReturn GstH264Encoder::onNewSample(GstElement* sink, gpointer self) {
  GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
  if (!sample) return GST_FLOW_OK;
  static_cast<GstH264Encoder*>(self)->handleSample(sample);
  gst_sample_unref(sample);
  return GST_FLOW_OK;
}

void GstH264Encoder::handleSample(GstSample* sample) {
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  GstCaps* caps = gst_sample_get_caps(sample);
  if (!buffer) return;
  bool keyframe = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
  OutputHandler handler;
  std::optional<AnnexB::ParameterSets> sets;
  {
    MutexLock lock(mu_);
    if (caps && caps != parameterCaps_) {
      const GstStructure* s = gst_caps_get_structure(caps, 0);
      const GValue* value = s ? gst_structure_get_value(s, "codec_data") : nullptr;
      GstBuffer* record = value && GST_VALUE_HOLDS_BUFFER(value) ? gst_value_get_buffer(value) : nullptr;
      GstMapInfo map;
      if (record && gst_buffer_map(record, &map, GST_MAP_READ)) {
        parameterSets_ = AnnexB::fromDecoderRecord({map.data, map.size});
        gst_buffer_unmap(record, &map);
      }
      if (parameterCaps_) gst_caps_unref(parameterCaps_);
      parameterCaps_ = gst_caps_ref(caps);
    }
    handler = onEncoded_;
    if (keyframe) sets = parameterSets_;
  }
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
  Bytes annexB = AnnexB::convert({map.data, map.size}, sets ? &*sets : nullptr);
  gst_buffer_unmap(buffer, &map);
  if (!annexB.empty() && handler) handler(annexB, keyframe);
}

}  // namespace vela
