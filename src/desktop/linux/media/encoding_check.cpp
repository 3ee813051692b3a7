#include "desktop/linux/media/encoding_check.h"

#include <chrono>
#include <string>

#include "desktop/linux/media/gst_runtime.h"

namespace vela {
namespace {

// Far beyond what the frames still queued take to encode, even in a sanitised build.
constexpr auto kDrainLimit = std::chrono::seconds(5);

std::string notStarted(const std::string& why) {
  return std::string("H.264 encoder pipeline failed to start (").append(why).append(")");
}

}  // namespace

Result<std::shared_ptr<EncodingCheck>> EncodingCheck::create(int fps) {
  if (auto ready = GstRuntime::ensureInitialized(); !ready) return fail(notStarted(ready.error().message));
  auto encoder = SharedEncoder::create(fps);
  if (!encoder) return fail(notStarted(encoder.error().message));
  GstElement* sink = gst_element_factory_make("fakesink", nullptr);
  if (!sink) return fail(notStarted("GStreamer element fakesink is not installed"));
  gst_object_ref_sink(sink);
  g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
  std::shared_ptr<EncodingCheck> self(new EncodingCheck(*encoder, sink));
  GstPad* pad = gst_element_get_static_pad(sink, "sink");
  gst_pad_add_probe(pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    &EncodingCheck::countOutput, new std::shared_ptr<Count>(self->count_),
                    [](gpointer count) { delete static_cast<std::shared_ptr<Count>*>(count); });
  gst_object_unref(pad);
  // Without a handler of its own, an error in the sink is logged by the encoder.
  self->encoder_->add(GST_ELEMENT(gst_object_ref(sink)), {});
  if (auto linked = self->encoder_->link(sink); !linked) return fail(notStarted(linked.error().message));
  return self;
}

GstPadProbeReturn EncodingCheck::countOutput(GstPad*, GstPadProbeInfo* info, gpointer data) {
  Count& count = **static_cast<std::shared_ptr<Count>*>(data);
  MutexLock lock(count.mu);
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    ++count.tally.pictures;
    count.tally.bytes += gst_buffer_get_size(buffer);
    count.tally.keyframe = count.tally.keyframe || !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
  } else if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS) {
    count.sawEnd = true;
    count.ended.notifyAll();
  }
  return GST_PAD_PROBE_OK;
}

EncodingCheck::~EncodingCheck() {
  encoder_->remove(sink_);
  gst_object_unref(sink_);
}

DesktopEncodingCheck::Tally EncodingCheck::finish() {
  encoder_->endInput();
  Count& count = *count_;
  MutexLock lock(count.mu);
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  while (!count.sawEnd && count.ended.waitUntil(count.mu, deadline)) {
  }
  return count.tally;
}

}  // namespace vela
