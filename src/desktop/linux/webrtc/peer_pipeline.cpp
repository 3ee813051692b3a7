#include "desktop/linux/webrtc/peer_pipeline.h"

#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include "util/log.h"

namespace vela {
namespace {

// From the encoded stream to webrtcbin. Until ICE connects webrtcbin holds its input;
// the leaky queue keeps that from ever stalling the encoder.
constexpr const char* kTail =
    "queue leaky=downstream max-size-buffers=30 max-size-bytes=0 max-size-time=0"
    " ! rtph264pay config-interval=-1 aggregate-mode=zero-latency"
    " ! application/x-rtp,media=video,encoding-name=H264,payload=96"
    " ! webrtcbin name=webrtc bundle-policy=max-bundle";

using Counter = std::shared_ptr<std::atomic<std::uint64_t>>;
GstPadProbeReturn countBuffer(GstPad*, GstPadProbeInfo*, gpointer counter) {
  (*static_cast<Counter*>(counter))->fetch_add(1, std::memory_order_relaxed);
  return GST_PAD_PROBE_OK;
}
void releaseCounter(gpointer counter) { delete static_cast<Counter*>(counter); }

}  // namespace

Result<std::unique_ptr<PeerPipeline>> PeerPipeline::attach(std::shared_ptr<SharedEncoder> encoder,
                                                          std::chrono::milliseconds closeGrace) {
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
  result->encoder_ = std::move(encoder);
  result->webrtc_ = gst_bin_get_by_name(GST_BIN(tail), "webrtc");
  if (!result->webrtc_) return fail("peer pipeline: missing element");
  if (GstPad* input = gst_element_get_static_pad(tail, "sink")) {
    gst_pad_add_probe(input, GST_PAD_PROBE_TYPE_BUFFER, countBuffer, new Counter(result->encoded_), releaseCounter);
    gst_object_unref(input);
  }
  // Errors inside webrtcbin concern this connection only; they are logged.
  std::weak_ptr<SharedEncoder> weakEncoder = result->encoder_;
  result->encoder_->add(GST_ELEMENT(gst_object_ref(tail)),
                        [closing = result->closing_, weakEncoder, closeGrace](const std::string& why) {
                          std::string line = "desktop peer pipeline: " + why;
                          auto encoder = weakEncoder.lock();
                          if (closing->load() || !encoder) return reportError(*closing, line);
                          encoder->after(closeGrace, [closing, line] { reportError(*closing, line); });
                        });
  return result;
}

PeerPipeline::~PeerPipeline() {
  shutdown();
  for (GstElement* element : {webrtc_, tail_}) {
    if (element) gst_object_unref(element);
  }
}

void PeerPipeline::makeSendOnly() {
  GstWebRTCRTPTransceiver* transceiver = nullptr;
  g_signal_emit_by_name(webrtc_, "get-transceiver", 0, &transceiver);
  if (!transceiver) return;
  g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, nullptr);
  gst_object_unref(transceiver);
}

Result<void> PeerPipeline::setState(GstState state) {
  if (state == GST_STATE_PLAYING) {
    if (auto linked = encoder_->link(tail_); !linked) return fail("peer pipeline: " + linked.error().message);
    encoder_->requestKeyframe();
    return {};
  }
  if (gst_element_set_state(tail_, state) == GST_STATE_CHANGE_FAILURE) {
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
  // No EOS first: EOS into a bin holding webrtcbin can hang; NULL alone is safe.
  if (tail_) encoder_->remove(tail_);
}

}  // namespace vela
