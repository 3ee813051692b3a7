#include "desktop/linux/wayland/pipewire_frame_source.h"

#include <gst/video/video.h>

#include <algorithm>

#include "desktop/linux/media/gst_runtime.h"

namespace vela {
namespace {

using Weak = std::weak_ptr<PipeWireFrameSource>;

// How often a wait for the stream's size looks whether its capture was stopped.
constexpr auto kAbandonPoll = std::chrono::milliseconds(100);

// The mapped buffer of one sample; the frame's pixels live as long as it.
struct MappedSample {
  GstSample* sample = nullptr;
  GstMapInfo map{};
  ~MappedSample() {
    if (!sample) return;
    gst_buffer_unmap(gst_sample_get_buffer(sample), &map);
    gst_sample_unref(sample);
  }
};

}  // namespace

Result<std::shared_ptr<PipeWireFrameSource>> PipeWireFrameSource::create(std::uint32_t node, int pipewireFd,
                                                                          int maxFPS) {
  VELA_TRY_VOID(GstRuntime::requireElements({"pipewiresrc", "appsink"}));
  // Caps between the source and the sink are what makes pipewiresrc link at all; memory
  // buffers in the encoder's own byte order keep the one conversion in the encoder, and
  // the producer itself keeps to the rate (mutter then renders no frame that would be
  // dropped here).
  std::string description;
  description.append("pipewiresrc name=src always-copy=false path=").append(std::to_string(node));
  if (pipewireFd >= 0) description.append(" fd=").append(std::to_string(pipewireFd));
  description.append(" ! video/x-raw,format={BGRx,BGRA},max-framerate=")
      .append(std::to_string(std::max(1, maxFPS)))
      .append("/1 ! appsink name=sink sync=false max-buffers=2 drop=true");
  GstElement* pipeline = VELA_TRY(GstRuntime::launch(description));
  gst_object_ref_sink(pipeline);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  return std::shared_ptr<PipeWireFrameSource>(new PipeWireFrameSource(pipeline, sink));
}

PipeWireFrameSource::PipeWireFrameSource(GstElement* pipeline, GstElement* sink) : pipeline_(pipeline), sink_(sink) {}

PipeWireFrameSource::~PipeWireFrameSource() {
  stop();
  gst_object_unref(sink_);
  gst_object_unref(pipeline_);
}

Result<void> PipeWireFrameSource::start() {
  GstAppSinkCallbacks callbacks{};
  callbacks.new_sample = &PipeWireFrameSource::onSample;
  gst_app_sink_set_callbacks(GST_APP_SINK(sink_), &callbacks, new Weak(weak_from_this()),
                             [](gpointer data) { delete static_cast<Weak*>(data); });
  GstBus* bus = gst_element_get_bus(pipeline_);
  gst_bus_set_sync_handler(bus, &PipeWireFrameSource::onBusMessage, new Weak(weak_from_this()),
                           [](gpointer data) { delete static_cast<Weak*>(data); });
  gst_object_unref(bus);
  // The format is agreed before the first frame, which a still screen may be slow to send.
  GstPad* pad = gst_element_get_static_pad(sink_, "sink");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, &PipeWireFrameSource::onEvent,
                    new Weak(weak_from_this()), [](gpointer data) { delete static_cast<Weak*>(data); });
  gst_object_unref(pad);
  running_ = true;
  if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    stop();
    return vela::fail("the PipeWire stream could not be started");
  }
  return {};
}

void PipeWireFrameSource::stop() {
  running_ = false;
  // Joins the streaming thread: no sample or bus callback is running after it.
  gst_element_set_state(pipeline_, GST_STATE_NULL);
}

GstFlowReturn PipeWireFrameSource::onSample(GstAppSink* sink, gpointer data) {
  GstSample* sample = gst_app_sink_pull_sample(sink);
  auto self = static_cast<Weak*>(data)->lock();
  if (!sample) return GST_FLOW_EOS;
  if (!self || !self->running_ || self->failed_) {
    gst_sample_unref(sample);
    return GST_FLOW_OK;
  }
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) {
    gst_sample_unref(sample);
    self->fail("the PipeWire stream sent frames of no known format");
    return GST_FLOW_ERROR;
  }
  const Size kept = self->keptSize(GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info));
  if (GST_VIDEO_INFO_WIDTH(&info) != kept.width || GST_VIDEO_INFO_HEIGHT(&info) != kept.height) {
    gst_sample_unref(sample);
    self->fail("the screen changed size from " + std::to_string(kept.width) + "x" + std::to_string(kept.height) +
               " to " + std::to_string(GST_VIDEO_INFO_WIDTH(&info)) + "x" +
               std::to_string(GST_VIDEO_INFO_HEIGHT(&info)));
    return GST_FLOW_ERROR;
  }
  auto mapped = std::make_shared<MappedSample>();
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (!buffer || !gst_buffer_map(buffer, &mapped->map, GST_MAP_READ)) {
    gst_sample_unref(sample);
    return GST_FLOW_OK;  // an empty buffer (a cursor-only update) carries no picture
  }
  mapped->sample = sample;
  // A producer that pads its rows says so in the buffer's video meta, not in the caps.
  gsize offset = GST_VIDEO_INFO_PLANE_OFFSET(&info, 0);
  int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
  if (const GstVideoMeta* meta = gst_buffer_get_video_meta(buffer)) {
    offset = meta->offset[0];
    stride = meta->stride[0];
  }
  // Frames are handed on as whole rows of `stride` bytes, the last one too.
  if (stride < kept.width * 4 || mapped->map.size < offset + static_cast<gsize>(stride) * kept.height)
    return GST_FLOW_OK;
  PixelBuffer frame;
  frame.width = kept.width;
  frame.height = kept.height;
  frame.stride = stride;
  frame.data = mapped->map.data + offset;
  frame.contentSerial = ++self->serial_;
  frame.owner = std::move(mapped);
  if (self->onFrame_) self->onFrame_(frame);
  return GST_FLOW_OK;
}

GstPadProbeReturn PipeWireFrameSource::onEvent(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
  auto self = static_cast<Weak*>(data)->lock();
  GstCaps* caps = nullptr;
  gst_event_parse_caps(event, &caps);
  GstVideoInfo video;
  // A later size is the sample check's to refuse.
  if (self && caps && gst_video_info_from_caps(&video, caps))
    (void)self->keptSize(GST_VIDEO_INFO_WIDTH(&video), GST_VIDEO_INFO_HEIGHT(&video));
  return GST_PAD_PROBE_OK;
}

PipeWireFrameSource::Size PipeWireFrameSource::keptSize(int width, int height) {
  Size kept;
  {
    MutexLock lock(mu_);
    if (!size_) size_ = Size{width, height};
    kept = *size_;
  }
  negotiated_.notifyAll();
  return kept;
}

Result<PipeWireFrameSource::Size> PipeWireFrameSource::negotiatedSize(std::chrono::milliseconds timeout,
                                                                      const std::function<bool()>& abandoned) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (abandoned()) return vela::fail("the capture was stopped before its stream agreed on a picture size");
    MutexLock lock(mu_);
    const auto slice = std::min(deadline, std::chrono::steady_clock::now() + kAbandonPoll);
    while (!size_ && !failed_ && negotiated_.waitUntil(mu_, slice)) {
    }
    if (size_) return *size_;
    if (failed_) return vela::fail("the PipeWire stream failed before it agreed on a picture size");
    if (std::chrono::steady_clock::now() >= deadline)
      return vela::fail("the PipeWire stream agreed on no picture size in time");
  }
}

GstBusSyncReply PipeWireFrameSource::onBusMessage(GstBus*, GstMessage* message, gpointer data) {
  auto self = static_cast<Weak*>(data)->lock();
  if (!self) return GST_BUS_DROP;
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    self->fail(std::string("the PipeWire stream failed: ") + (error ? error->message : "unknown error"));
    g_clear_error(&error);
  } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
    self->fail("the PipeWire stream ended");
  }
  return GST_BUS_DROP;
}

void PipeWireFrameSource::fail(const std::string& why) {
  if (!running_ || failed_.exchange(true)) return;
  {
    // Wakes a wait for the size, with nothing to wait for now.
    MutexLock lock(mu_);
  }
  negotiated_.notifyAll();
  if (onError_) onError_(AgentError(why));
}

}  // namespace vela
