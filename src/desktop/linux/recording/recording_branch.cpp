#include "desktop/linux/recording/recording_branch.h"

#include <utility>

namespace vela {

Result<RecordingBranch> RecordingBranch::create(GstBin* bin, const std::string& path) {
  GstElement* queue = gst_element_factory_make("queue", nullptr);
  GstElement* mux = gst_element_factory_make("mp4mux", nullptr);
  GstElement* sink = gst_element_factory_make("filesink", nullptr);
  if (!queue || !mux || !sink) {
    for (GstElement* e : {queue, mux, sink}) {
      if (e) gst_object_unref(e);
    }
    return fail("missing GStreamer element (queue, mp4mux or filesink)");
  }
  // The encoder is the pacing element; the queue only decouples the file writes, so a
  // few seconds of compressed video is a generous bound.
  g_object_set(queue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
               guint64(3 * GST_SECOND), nullptr);
  g_object_set(mux, "fragment-duration", 1000u, nullptr);
  // Unbuffered: each fragment reaches the file as the muxer emits it, so the size seen
  // on disk is what survives a crash.
  g_object_set(sink, "location", path.c_str(), "buffer-mode", 2, "sync", FALSE, "async", FALSE,
               nullptr);
  gst_bin_add_many(bin, queue, mux, sink, nullptr);
  // Asked for by name: left to itself, linking an untyped queue may pick an audio pad.
  GstPad* muxVideo = gst_element_request_pad_simple(mux, "video_%u");
  GstPad* queueSrc = gst_element_get_static_pad(queue, "src");
  const bool linked = muxVideo && gst_pad_link(queueSrc, muxVideo) == GST_PAD_LINK_OK &&
                      gst_element_link(mux, sink);
  gst_object_unref(queueSrc);
  if (muxVideo) gst_object_unref(muxVideo);
  if (!linked) return fail("cannot link queue, mp4mux and filesink");
  return RecordingBranch(gst_element_get_static_pad(queue, "sink"),
                         gst_element_get_static_pad(sink, "sink"));
}

RecordingBranch::RecordingBranch(RecordingBranch&& other) noexcept
    : sinkPad_(std::exchange(other.sinkPad_, nullptr)),
      fileSinkPad_(std::exchange(other.fileSinkPad_, nullptr)) {}

RecordingBranch::~RecordingBranch() {
  if (sinkPad_) gst_object_unref(sinkPad_);
  if (fileSinkPad_) gst_object_unref(fileSinkPad_);
}

void RecordingBranch::onFinished(std::function<void()> done) {
  auto* callback = new std::function<void()>(std::move(done));
  gst_pad_add_probe(
      fileSinkPad_, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
      [](GstPad*, GstPadProbeInfo* info, gpointer data) -> GstPadProbeReturn {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) != GST_EVENT_EOS) return GST_PAD_PROBE_OK;
        (*static_cast<std::function<void()>*>(data))();
        return GST_PAD_PROBE_REMOVE;
      },
      callback, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void RecordingBranch::detachAndEnd() {
  GstPad* upstream = gst_pad_get_peer(sinkPad_);
  if (!upstream) {
    gst_pad_send_event(sinkPad_, gst_event_new_eos());
    return;
  }
  // An EOS while still linked would come back to the tee as a flow result and stop the
  // source for every branch. Cut the link between two buffers, then end this branch.
  gst_pad_add_probe(
      upstream, GST_PAD_PROBE_TYPE_IDLE,
      [](GstPad* pad, GstPadProbeInfo*, gpointer data) -> GstPadProbeReturn {
        auto* sink = static_cast<GstPad*>(data);
        gst_pad_unlink(pad, sink);
        gst_pad_send_event(sink, gst_event_new_eos());
        return GST_PAD_PROBE_REMOVE;
      },
      gst_object_ref(sinkPad_), [](gpointer data) { gst_object_unref(data); });
  gst_object_unref(upstream);
}

}  // namespace vela
