#include "desktop/linux/media/shared_encoder.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>

#include "desktop/linux/media/gst_frame_buffer.h"
#include "desktop/linux/media/gst_runtime.h"
#include "util/log.h"

namespace vela {
namespace {

constexpr std::initializer_list<const char*> kElements = {"appsrc", "videoconvertscale", "x264enc", "h264parse",
                                                          "tee"};

// The recording's stream is muxed as avc, which the payloader takes as well; fixing it
// keeps a branch attached later from asking the parser for another format.
std::string describe(int fps, std::int64_t bitrate) {
  const auto kbps = std::clamp<std::int64_t>(bitrate / 1000, 1, 2'048'000);
  // A leaky source drops the oldest frame rather than queueing latency when x264 lags.
  return "appsrc name=src is-live=true format=time do-timestamp=false block=false max-buffers=4 "
         "leaky-type=downstream ! videoconvertscale ! capsfilter name=size caps=video/x-raw,format=I420 "
         "! x264enc name=enc tune=zerolatency speed-preset=ultrafast key-int-max=" +
         std::to_string(std::max(fps, 1) * 2) + " bitrate=" + std::to_string(kbps) +
         " ! video/x-h264,profile=constrained-baseline ! h264parse"
         " ! video/x-h264,stream-format=avc,alignment=au ! tee name=t allow-not-linked=true";
}

std::string errorText(GstMessage* message) {
  GError* error = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  // GStreamer keeps the system's reason ("No space left on device") in the debug text.
  std::string text = error && error->message ? error->message : "unknown error";
  const std::string details = debug ? debug : "";
  if (const auto at = details.rfind("system error: "); at != std::string::npos) {
    if (!text.empty() && text.back() == '.') text.pop_back();
    text += ": " + details.substr(at + 14);
  }
  g_clear_error(&error);
  g_free(debug);
  return text;
}

}  // namespace

Result<void> SharedEncoder::requireElements() { return GstRuntime::requireElements(kElements); }

Result<std::shared_ptr<SharedEncoder>> SharedEncoder::create(int fps, std::chrono::milliseconds settleDelay) {
  auto launched = GstRuntime::launch(describe(fps, 2'000'000));
  if (!launched) return tl::unexpected(launched.error());
  GstElement* pipeline = *launched;
  std::shared_ptr<SharedEncoder> self(new SharedEncoder());
  self->fps_ = std::max(fps, 1);
  self->feed_ = FrameFeed::create(self->fps_, [weak = std::weak_ptr<SharedEncoder>(self)](const DesktopVideoFrame& f) {
    if (auto encoder = weak.lock()) encoder->enter(f);
  }, settleDelay);
  self->pipeline_ = pipeline;
  self->source_ = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  self->encoder_ = gst_bin_get_by_name(GST_BIN(pipeline), "enc");
  self->tee_ = gst_bin_get_by_name(GST_BIN(pipeline), "t");
  self->size_ = gst_bin_get_by_name(GST_BIN(pipeline), "size");
  if (!self->source_ || !self->encoder_ || !self->tee_ || !self->size_) return fail("missing element");
  if (GstPad* out = gst_element_get_static_pad(self->encoder_, "src")) {
    gst_pad_add_probe(out, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, &SharedEncoder::onUpstreamEvent,
                      new std::weak_ptr<FrameFeed>(self->feed_),
                      [](gpointer feed) { delete static_cast<std::weak_ptr<FrameFeed>*>(feed); });
    gst_object_unref(out);
  }
  GstBus* bus = gst_element_get_bus(pipeline);
  // The encoder object outlives the pipeline's messages: the handler is cleared first
  // thing in the destructor.
  gst_bus_set_sync_handler(bus, &SharedEncoder::onBusMessage, self.get(), nullptr);
  gst_object_unref(bus);
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    return fail("the pipeline does not start");
  }
  return self;
}

SharedEncoder::~SharedEncoder() {
  if (!pipeline_) return;
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  GstBus* bus = gst_element_get_bus(pipeline_);
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
  for (auto& branch : branches_) {
    if (branch.teePad) {
      gst_element_release_request_pad(tee_, branch.teePad);
      gst_object_unref(branch.teePad);
    }
    gst_object_unref(branch.bin);
  }
  for (GstElement* element : {source_, encoder_, tee_, size_}) {
    if (element) gst_object_unref(element);
  }
  gst_object_unref(pipeline_);
  // The session's media are gone: what they left free in the heap goes back to the
  // system rather than staying resident until the next session.
  malloc_trim(0);
}

Result<void> SharedEncoder::configure(int width, int height) {
  {
    MutexLock guard(lock_);
    if (width_ == width && height_ == height) return {};
    if (width_ != 0) return fail("the session encoder runs at " + std::to_string(width_) + "x" + std::to_string(height_));
    if (width <= 0 || height <= 0 || width % 2 || height % 2) return fail("unsupported size");
    width_ = width;
    height_ = height;
  }
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRA", "width", G_TYPE_INT, width,
                                      "height", G_TYPE_INT, height, "framerate", GST_TYPE_FRACTION, fps_, 1,
                                      "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
  const Size sent = sentSize({width, height});
  GstCaps* scaled = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT,
                                        sent.width, "height", G_TYPE_INT, sent.height, "pixel-aspect-ratio",
                                        GST_TYPE_FRACTION, 1, 1, nullptr);
  g_object_set(size_, "caps", scaled, nullptr);
  gst_caps_unref(scaled);
  gst_app_src_set_caps(GST_APP_SRC(source_), caps);
  gst_caps_unref(caps);
  // The peer's rule for this size, until the peer names a target of its own.
  setBitrate(std::max<std::int64_t>(std::int64_t{sent.width} * sent.height * fps_ / 10, 2'000'000));
  return {};
}

DesktopVideoInput::Size SharedEncoder::sentSize(Size captured) const {
  const std::int64_t pixels = std::int64_t{captured.width} * captured.height;
  if (pixels <= kMaxSentPixels) return captured;
  const double scale = std::sqrt(double(kMaxSentPixels) / double(pixels));
  // Even sides for I420, rounded down so the picture stays within the budget.
  auto side = [&](int length) { return std::max(2, int(length * scale) & ~1); };
  return {side(captured.width), side(captured.height)};
}

bool SharedEncoder::push(const DesktopVideoFrame& frame) {
  if (ended_.load()) return false;
  bool configured = false;
  {
    MutexLock guard(lock_);
    configured = width_ != 0;
  }
  if (!configured && !configure(frame.width, frame.height)) return false;
  bool fits = false;
  bool warn = false;
  {
    MutexLock guard(lock_);
    fits = frame.width == width_ && frame.height == height_;
    if (!fits) warn = !std::exchange(warnedSize_, true);
  }
  if (warn) {
    Log::warn("desktop: a " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
              " frame does not fit the session encoder; such frames are dropped");
  }
  if (!fits || !frame.pixels || frame.stride < frame.width * 4) return false;
  feed_->push(frame);
  return true;
}

GstClockTime SharedEncoder::outputTime(std::chrono::nanoseconds pts) {
  MutexLock guard(lock_);
  if (!origin_) origin_ = pts;
  return GstClockTime(std::max<std::chrono::nanoseconds::rep>(0, (pts - *origin_).count()));
}

void SharedEncoder::enter(const DesktopVideoFrame& frame) {
  GstBuffer* buffer = wrapFrameBuffer(frame);
  if (!buffer) return;
  GST_BUFFER_PTS(buffer) = outputTime(frame.pts);
  // Takes the buffer; an ended or stopped source refuses it.
  gst_app_src_push_buffer(GST_APP_SRC(source_), buffer);
}

void SharedEncoder::catchUp(std::function<void(std::optional<GstClockTime>)> done) {
  feed_->catchUp([weak = weak_from_this(), done = std::move(done)](std::optional<std::chrono::nanoseconds> pts) {
    auto self = weak.lock();
    done(self && pts ? std::optional<GstClockTime>(self->outputTime(*pts)) : std::nullopt);
  });
}

void SharedEncoder::after(std::chrono::milliseconds delay, std::function<void()> task) {
  feed_->after(delay, std::move(task));
}

void SharedEncoder::endInput() {
  if (ended_.exchange(true)) return;
  // After the frames already on their way.
  feed_->then([weak = weak_from_this()] {
    if (auto self = weak.lock()) gst_app_src_end_of_stream(GST_APP_SRC(self->source_));
  });
}

void SharedEncoder::setBitrate(std::int64_t bitsPerSecond) {
  const auto kbps = static_cast<guint>(std::clamp<std::int64_t>(bitsPerSecond / 1000, 1, 2'048'000));
  g_object_set(encoder_, "bitrate", kbps, nullptr);
}

std::uint32_t SharedEncoder::bitrateKbps() const {
  guint kbps = 0;
  g_object_get(encoder_, "bitrate", &kbps, nullptr);
  return kbps;
}

void SharedEncoder::requestKeyframe() {
  gst_element_send_event(encoder_, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
  feed_->keyframeRequested();
}

// x264 applies a keyframe request to its next input, which on a still screen would
// never come.
GstPadProbeReturn SharedEncoder::onUpstreamEvent(GstPad*, GstPadProbeInfo* info, gpointer data) {
  if (gst_video_event_is_force_key_unit(GST_PAD_PROBE_INFO_EVENT(info))) {
    if (auto feed = static_cast<std::weak_ptr<FrameFeed>*>(data)->lock()) feed->keyframeRequested();
  }
  return GST_PAD_PROBE_OK;
}

void SharedEncoder::add(GstElement* bin, BranchError onError) {
  // The caller's reference becomes the branch's; only a floating one needs sinking
  // (sinking a held one would add a reference nobody releases).
  if (g_object_is_floating(bin)) gst_object_ref_sink(bin);
  {
    MutexLock guard(branchLock_);
    branches_.push_back(Branch{bin, nullptr, std::move(onError)});
  }
  gst_bin_add(GST_BIN(pipeline_), bin);  // the pipeline takes its own reference
}

Result<void> SharedEncoder::link(GstElement* bin) {
  if (!gst_element_sync_state_with_parent(bin)) return fail("the branch does not start");
  GstPad* sink = gst_element_get_static_pad(bin, "sink");
  if (!sink) return fail("the branch has no sink pad");
  GstPad* pad = gst_element_request_pad_simple(tee_, "src_%u");
  const bool linked = pad && gst_pad_link(pad, sink) == GST_PAD_LINK_OK;
  gst_object_unref(sink);
  if (!linked) {
    if (pad) {
      gst_element_release_request_pad(tee_, pad);
      gst_object_unref(pad);
    }
    return fail("the branch does not link to the encoder");
  }
  MutexLock guard(branchLock_);
  for (auto& branch : branches_) {
    if (branch.bin == bin) {
      branch.teePad = pad;
      return {};
    }
  }
  gst_object_unref(pad);  // not added: stays linked until the pipeline goes
  return fail("the branch was not added");
}

void SharedEncoder::remove(GstElement* bin) {
  GstPad* teePad = nullptr;
  {
    MutexLock guard(branchLock_);
    auto found = std::find_if(branches_.begin(), branches_.end(),
                              [&](const Branch& b) { return b.bin == bin && !b.stopping; });
    if (found == branches_.end()) return;
    found->stopping = true;
    teePad = std::exchange(found->teePad, nullptr);
  }
  if (teePad) {
    // Unlinking is safe while a frame is in flight: that push completes into the old
    // peer, whose stop below flushes it.
    if (GstPad* peer = gst_pad_get_peer(teePad)) {
      gst_pad_unlink(teePad, peer);
      gst_object_unref(peer);
    }
    gst_element_release_request_pad(tee_, teePad);
    gst_object_unref(teePad);
  }
  // The branch keeps its error handler until it is out: stopping may still make its
  // elements report, e.g. a transport whose far end is gone.
  gst_element_set_state(bin, GST_STATE_NULL);
  gst_bin_remove(GST_BIN(pipeline_), bin);
  {
    MutexLock guard(branchLock_);
    std::erase_if(branches_, [&](const Branch& b) { return b.bin == bin; });
  }
  gst_object_unref(bin);
}

void SharedEncoder::runOffStreamingThread(std::function<void()> task) {
  gst_element_call_async(
      pipeline_, [](GstElement*, gpointer data) { (*static_cast<std::function<void()>*>(data))(); },
      new std::function<void()>(std::move(task)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

GstBusSyncReply SharedEncoder::onBusMessage(GstBus*, GstMessage* message, gpointer data) {
  auto* self = static_cast<SharedEncoder*>(data);
  const auto type = GST_MESSAGE_TYPE(message);
  if (type == GST_MESSAGE_ERROR) {
    const std::string text = errorText(message);
    BranchError handler;
    {
      MutexLock guard(self->branchLock_);
      for (const auto& branch : self->branches_) {
        if (gst_object_has_as_ancestor(GST_MESSAGE_SRC(message), GST_OBJECT(branch.bin))) handler = branch.onError;
      }
    }
    if (handler) {
      handler(text);
    } else {
      Log::error(std::string("desktop: session encoder: ") + GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) + ": " + text);
    }
  } else if (type == GST_MESSAGE_WARNING) {
    GError* error = nullptr;
    gst_message_parse_warning(message, &error, nullptr);
    Log::warn(std::string("desktop: session media: ") + GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) + ": " +
              (error ? error->message : "unknown"));
    g_clear_error(&error);
  }
  gst_message_unref(message);
  return GST_BUS_DROP;
}

}  // namespace vela
