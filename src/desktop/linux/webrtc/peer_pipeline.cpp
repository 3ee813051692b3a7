#include "desktop/linux/webrtc/peer_pipeline.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include <algorithm>

#include "desktop/linux/media/gst_frame_buffer.h"
#include "desktop/linux/media/gst_runtime.h"
#include "util/log.h"

namespace vela {
namespace {

// format=I420 matters: without it videoconvert picks Y444 and x264 emits High 4:4:4,
// which browsers do not decode.
std::string encoderSection(int fps, std::int64_t bitrate) {
  const auto kbps = std::clamp<std::int64_t>(bitrate / 1000, 1, 2'048'000);
  return "videoconvert ! videoscale ! capsfilter name=size caps=video/x-raw,format=I420 "
         "! x264enc name=enc tune=zerolatency speed-preset=ultrafast key-int-max=" +
         std::to_string(std::max(fps, 1) * 2) + " bitrate=" + std::to_string(kbps) +
         " ! video/x-h264,profile=constrained-baseline ! h264parse";
}

// From the encoded stream to webrtcbin. Until ICE connects webrtcbin holds its input;
// the leaky queue keeps that from ever stalling the encoder.
constexpr const char* kTail =
    "queue leaky=downstream max-size-buffers=30 max-size-bytes=0 max-size-time=0"
    " ! rtph264pay config-interval=-1 aggregate-mode=zero-latency"
    " ! application/x-rtp,media=video,encoding-name=H264,payload=96"
    " ! webrtcbin name=webrtc bundle-policy=max-bundle";

std::string describe(const PeerPipeline::Settings& settings) {
  // appsrc drops the oldest frame rather than queueing latency when the encoder lags. It
  // stamps frames on arrival with the pipeline clock, so the capturer's time base never
  // has to agree with it.
  return "appsrc name=src is-live=true do-timestamp=true format=time max-buffers=2 leaky-type=downstream ! " +
         encoderSection(settings.fps, settings.bitrate) + " ! " + kTail;
}

using Counter = std::shared_ptr<std::atomic<std::uint64_t>>;
GstPadProbeReturn countBuffer(GstPad*, GstPadProbeInfo*, gpointer counter) {
  (*static_cast<Counter*>(counter))->fetch_add(1, std::memory_order_relaxed);
  return GST_PAD_PROBE_OK;
}
void releaseCounter(gpointer counter) { delete static_cast<Counter*>(counter); }

// Logs the errors and warnings of a connection's own pipeline as they are posted and
// keeps its bus empty.
using Closing = std::shared_ptr<const std::atomic<bool>>;
GstBusSyncReply logBusMessage(GstBus*, GstMessage* message, gpointer closing) {
  const auto type = GST_MESSAGE_TYPE(message);
  if (type == GST_MESSAGE_ERROR || type == GST_MESSAGE_WARNING) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    if (type == GST_MESSAGE_ERROR) {
      gst_message_parse_error(message, &error, &debug);
    } else {
      gst_message_parse_warning(message, &error, &debug);
    }
    std::string line = std::string("desktop peer pipeline: ") + GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) + ": " +
                       (error ? error->message : "unknown");
    if (type == GST_MESSAGE_ERROR) {
      PeerPipeline::reportError(**static_cast<Closing*>(closing), line);
    } else {
      Log::warn(line);
    }
    g_clear_error(&error);
    g_free(debug);
  }
  return GST_BUS_DROP;
}
void releaseClosing(gpointer closing) { delete static_cast<Closing*>(closing); }

}  // namespace

Result<std::unique_ptr<PeerPipeline>> PeerPipeline::build(const Settings& settings) {
  auto launched = GstRuntime::launch(describe(settings));
  if (!launched) return fail("peer pipeline: " + launched.error().message);
  GstElement* pipeline = *launched;
  std::unique_ptr<PeerPipeline> result(new PeerPipeline());
  result->pipeline_ = pipeline;
  GstBus* bus = gst_element_get_bus(pipeline);
  gst_bus_set_sync_handler(bus, logBusMessage, new Closing(result->closing_), releaseClosing);
  gst_object_unref(bus);
  GstBin* bin = GST_BIN(pipeline);
  result->source_ = gst_bin_get_by_name(bin, "src");
  result->sizeFilter_ = gst_bin_get_by_name(bin, "size");
  result->encoder_ = gst_bin_get_by_name(bin, "enc");
  result->webrtc_ = gst_bin_get_by_name(bin, "webrtc");
  if (!result->source_ || !result->sizeFilter_ || !result->encoder_ || !result->webrtc_) {
    return fail("peer pipeline: missing element");
  }
  if (GstPad* encoded = gst_element_get_static_pad(result->encoder_, "src")) {
    result->countEncoded(encoded);
    gst_object_unref(encoded);
  }
  return result;
}

Result<std::unique_ptr<PeerPipeline>> PeerPipeline::attach(std::shared_ptr<SharedEncoder> encoder) {
  GError* error = nullptr;
  GstElement* tail = gst_parse_bin_from_description(kTail, TRUE, &error);
  if (!tail || error) {
    std::string why = error ? error->message : "unknown error";
    g_clear_error(&error);
    if (tail) gst_object_unref(tail);
    return fail("peer pipeline: " + why);
  }
  gst_object_ref_sink(tail);
  std::unique_ptr<PeerPipeline> result(new PeerPipeline());
  result->tail_ = tail;
  result->shared_ = std::move(encoder);
  result->webrtc_ = gst_bin_get_by_name(GST_BIN(tail), "webrtc");
  if (!result->webrtc_) return fail("peer pipeline: missing element");
  if (GstPad* input = gst_element_get_static_pad(tail, "sink")) {
    result->countEncoded(input);
    gst_object_unref(input);
  }
  // Errors inside webrtcbin concern this connection only; they are logged.
  result->shared_->add(GST_ELEMENT(gst_object_ref(tail)), [closing = result->closing_](const std::string& why) {
    reportError(*closing, "desktop peer pipeline: " + why);
  });
  return result;
}

void PeerPipeline::countEncoded(GstPad* pad) {
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, countBuffer,
                    new std::shared_ptr<std::atomic<std::uint64_t>>(encoded_), releaseCounter);
}

PeerPipeline::~PeerPipeline() {
  shutdown();
  for (GstElement* element : {source_, sizeFilter_, encoder_, webrtc_, pipeline_, tail_}) {
    if (element) gst_object_unref(element);
  }
}

void PeerPipeline::setInputFormat(int width, int height, int fps) {
  if (shared_) {
    // The recording usually fixed the size already; a mismatch is logged by the encoder.
    (void)shared_->configure(width, height);
    return;
  }
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width", G_TYPE_INT, width,
                                      "height", G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION, std::max(fps, 1),
                                      1, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
  gst_app_src_set_caps(GST_APP_SRC(source_), caps);
  gst_caps_unref(caps);
}

void PeerPipeline::setEncodedSize(PeerVideoPolicy::Size size) {
  if (shared_) return;
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, size.width,
                                      "height", G_TYPE_INT, size.height, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1,
                                      1, nullptr);
  g_object_set(sizeFilter_, "caps", caps, nullptr);
  gst_caps_unref(caps);
}

void PeerPipeline::setBitrate(std::int64_t bitsPerSecond) {
  if (shared_) {
    shared_->setBitrate(bitsPerSecond);
    return;
  }
  const auto kbps = static_cast<guint>(std::clamp<std::int64_t>(bitsPerSecond / 1000, 1, 2'048'000));
  g_object_set(encoder_, "bitrate", kbps, nullptr);
}

void PeerPipeline::requestKeyframe() {
  if (shared_) {
    shared_->requestKeyframe();
  } else {
    gst_element_send_event(encoder_, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
  }
}

std::uint32_t PeerPipeline::bitrateKbps() const {
  if (shared_) return shared_->bitrateKbps();
  guint kbps = 0;
  g_object_get(encoder_, "bitrate", &kbps, nullptr);
  return kbps;
}

void PeerPipeline::push(const DesktopVideoFrame& frame) {
  if (shared_) {
    shared_->push(frame);
    return;
  }
  GstBuffer* buffer = wrapFrameBuffer(frame);
  if (!buffer) return;
  // Takes the buffer; a flushing (stopped) source just drops it.
  gst_app_src_push_buffer(GST_APP_SRC(source_), buffer);
}

void PeerPipeline::makeSendOnly() {
  GstWebRTCRTPTransceiver* transceiver = nullptr;
  g_signal_emit_by_name(webrtc_, "get-transceiver", 0, &transceiver);
  if (!transceiver) return;
  g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, nullptr);
  gst_object_unref(transceiver);
}

Result<void> PeerPipeline::setState(GstState state) {
  if (shared_ && state == GST_STATE_PLAYING) {
    if (auto linked = shared_->link(tail_); !linked) return fail("peer pipeline: " + linked.error().message);
    shared_->requestKeyframe();
    return {};
  }
  if (gst_element_set_state(shared_ ? tail_ : pipeline_, state) == GST_STATE_CHANGE_FAILURE) {
    return fail(std::string("peer pipeline refused state ") + gst_element_state_get_name(state));
  }
  return {};
}

void PeerPipeline::reportError(const std::atomic<bool>& closing, const std::string& line) {
  if (closing.load()) {
    Log::info(line);
  } else {
    Log::error(line);
  }
}

void PeerPipeline::shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  markClosing();
  if (shared_) {
    if (tail_) shared_->remove(tail_);
    return;
  }
  if (!pipeline_) return;
  // No EOS first: EOS into a pipeline holding webrtcbin can hang; NULL alone is safe.
  gst_element_set_state(pipeline_, GST_STATE_NULL);
}

}  // namespace vela
