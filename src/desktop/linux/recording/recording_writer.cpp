#include "desktop/linux/recording/recording_writer.h"

#include <gst/app/gstappsrc.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "desktop/linux/media/gst_runtime.h"
#include "util/log.h"

namespace vela {

namespace {

constexpr const char* kCannotAddInput = "recorder: cannot add video input";

// "Could not open file "…" for writing: <reason>", the reason being the system's,
// which GStreamer keeps in the debug text.
std::string describe(GError* error, const gchar* debug) {
  std::string text = error && error->message ? error->message : "";
  const std::string details = debug ? debug : "";
  const auto at = details.rfind("system error: ");
  if (at != std::string::npos) {
    if (!text.empty() && text.back() == '.') text.pop_back();
    text += ": " + details.substr(at + 14);
  }
  return text;
}

// Encoder rate for a recording: the same cap the WebRTC peer uses at 30 fps, so a
// shared encoder later needs no second setting.
guint bitrateKbit(int width, int height) {
  const double bits = double(width) * double(height) * 30.0 * 0.1;
  return std::max<guint>(2000, static_cast<guint>(bits / 1000.0));
}

}  // namespace

Result<std::shared_ptr<RecordingWriter>> RecordingWriter::create(const std::string& path, int width,
                                                                 int height) {
  if (auto ready = GstRuntime::ensureInitialized(); !ready) {
    return fail("recorder: startWriting failed (" + ready.error().message + ")");
  }
  if (width <= 0 || height <= 0 || width % 2 || height % 2) return fail(kCannotAddInput);

  GstElement* pipeline = gst_pipeline_new("vela-recorder");
  GstElement* source = gst_element_factory_make("appsrc", nullptr);
  GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
  GstElement* rawCaps = gst_element_factory_make("capsfilter", nullptr);
  GstElement* encoder = gst_element_factory_make("x264enc", nullptr);
  GstElement* h264Caps = gst_element_factory_make("capsfilter", nullptr);
  GstElement* parse = gst_element_factory_make("h264parse", nullptr);
  GstElement* elements[] = {source, convert, rawCaps, encoder, h264Caps, parse};
  if (std::any_of(std::begin(elements), std::end(elements), [](auto* e) { return !e; })) {
    for (GstElement* e : elements) {
      if (e) gst_object_unref(e);
    }
    gst_object_unref(pipeline);
    return fail(kCannotAddInput);
  }

  GstCaps* bgra = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width",
                                      G_TYPE_INT, width, "height", G_TYPE_INT, height, "framerate",
                                      GST_TYPE_FRACTION, 0, 1, nullptr);
  g_object_set(source, "caps", bgra, "format", GST_FORMAT_TIME, "is-live", FALSE, "block", FALSE,
               nullptr);
  gst_caps_unref(bgra);
  // Without an explicit I420 the converter picks 4:4:4 and x264 emits a profile that
  // browsers (and the shared-encoder path to the peer) cannot decode.
  GstCaps* i420 = gst_caps_from_string("video/x-raw,format=I420");
  g_object_set(rawCaps, "caps", i420, nullptr);
  gst_caps_unref(i420);
  gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
  gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "ultrafast");
  g_object_set(encoder, "key-int-max", 60u, "bitrate", bitrateKbit(width, height), nullptr);
  GstCaps* baseline = gst_caps_from_string("video/x-h264,profile=constrained-baseline");
  g_object_set(h264Caps, "caps", baseline, nullptr);
  gst_caps_unref(baseline);

  gst_bin_add_many(GST_BIN(pipeline), source, convert, rawCaps, encoder, h264Caps, parse, nullptr);
  auto branch = RecordingBranch::create(GST_BIN(pipeline), path);
  GstPad* parseSrc = gst_element_get_static_pad(parse, "src");
  const bool linked =
      branch &&
      gst_element_link_many(source, convert, rawCaps, encoder, h264Caps, parse, nullptr) &&
      gst_pad_link(parseSrc, branch->sinkPad()) == GST_PAD_LINK_OK;
  gst_object_unref(parseSrc);
  if (!linked) {
    gst_object_unref(pipeline);
    return fail(kCannotAddInput);
  }

  std::shared_ptr<RecordingWriter> writer(
      new RecordingWriter(pipeline, source, std::move(*branch), width, height));
  std::weak_ptr<RecordingWriter> weak = writer;
  // A source that stops on an error sends EOS by itself; only the drain that finish()
  // asked for ends the writer.
  writer->branch_.onFinished([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->sinkSawEndOfStream_ = true;
    if (self->drain_.began()) self->endTheFinish();
  });
  GstBus* bus = gst_element_get_bus(pipeline);
  gst_bus_set_sync_handler(bus, &RecordingWriter::onBusMessage, writer.get(), nullptr);
  gst_object_unref(bus);

  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    std::string why = writer->lastError();
    return fail("recorder: startWriting failed (" + (why.empty() ? "?" : why) + ")");
  }
  writer->started_ = true;
  return writer;
}

RecordingWriter::RecordingWriter(GstElement* pipeline, GstElement* source, RecordingBranch branch,
                                 int width, int height)
    : pipeline_(pipeline),
      source_(source),
      branch_(std::move(branch)),
      width_(width),
      height_(height) {}

RecordingWriter::~RecordingWriter() {
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  GstBus* bus = gst_element_get_bus(pipeline_);
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
  gst_object_unref(pipeline_);
}

bool RecordingWriter::push(const BGRAFrame& frame, MediaTime pts) {
  if (status_.load() != Status::writing || drain_.began()) return false;
  if (frame.width != width_ || frame.height != height_ || !frame.pixels ||
      frame.stride < width_ * 4) {
    return false;
  }
  if (gst_app_src_get_current_level_buffers(GST_APP_SRC(source_)) >= kMaxQueuedFrames) {
    return false;
  }
  const gsize rowBytes = gsize(width_) * 4;
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, rowBytes * gsize(height_), nullptr);
  GstMapInfo map;
  if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
    if (buffer) gst_buffer_unref(buffer);
    return false;
  }
  if (frame.stride == int(rowBytes)) {
    std::memcpy(map.data, frame.pixels, rowBytes * gsize(height_));
  } else {
    for (int y = 0; y < height_; ++y) {
      std::memcpy(map.data + gsize(y) * rowBytes, frame.pixels + gsize(y) * gsize(frame.stride),
                  rowBytes);
    }
  }
  gst_buffer_unmap(buffer, &map);
  if (!origin_) origin_ = pts;
  GST_BUFFER_PTS(buffer) = GstClockTime(std::max<MediaTime::rep>(0, (pts - *origin_).count()));
  return gst_app_src_push_buffer(GST_APP_SRC(source_), buffer) == GST_FLOW_OK;
}

void RecordingWriter::finish(std::function<void(Status)> done) {
  // The owner usually lets go right after asking; the pipeline must outlive the drain.
  if (!drain_.begin(std::move(done), shared_from_this())) return;
  if (status_.load() == Status::failed || sinkSawEndOfStream_.load()) {
    endTheFinish();
    return;
  }
  // From the source, so that frames still queued or inside the encoder reach the file.
  gst_app_src_end_of_stream(GST_APP_SRC(source_));
}

std::string RecordingWriter::lastError() const {
  MutexLock lock(mu_);
  return lastError_;
}

GstBusSyncReply RecordingWriter::onBusMessage(GstBus*, GstMessage* message, gpointer data) {
  auto* self = static_cast<RecordingWriter*>(data);
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string description = describe(error, debug);
    {
      MutexLock lock(self->mu_);
      if (self->lastError_.empty()) self->lastError_ = description;
    }
    g_clear_error(&error);
    g_free(debug);
    auto expected = Status::writing;
    // A failing start is reported by create(); later failures only show up here.
    if (self->status_.compare_exchange_strong(expected, Status::failed) && self->started_) {
      Log::warn("recorder: writing stopped (" + description + ")");
    }
    // A failure while draining means the EOS may never reach the sink.
    if (self->drain_.began()) self->endTheFinish();
  }
  gst_message_unref(message);
  return GST_BUS_DROP;
}

// Runs at most once: from the EOS probe, or from an error once finishing began. The
// pipeline cannot be stopped from a streaming thread, so the rest happens on one of
// GStreamer's worker threads, which keeps the writer alive until it is done.
void RecordingWriter::endTheFinish() {
  if (!drain_.claimEnd()) return;
  auto* keep = new std::shared_ptr<RecordingWriter>(shared_from_this());
  gst_element_call_async(
      pipeline_,
      [](GstElement* pipeline, gpointer data) {
        auto& self = *static_cast<std::shared_ptr<RecordingWriter>*>(data);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        auto expected = Status::writing;
        self->status_.compare_exchange_strong(expected, Status::completed);
        self->drain_.complete(self->status_.load());
      },
      keep, [](gpointer data) { delete static_cast<std::shared_ptr<RecordingWriter>*>(data); });
}

}  // namespace vela
