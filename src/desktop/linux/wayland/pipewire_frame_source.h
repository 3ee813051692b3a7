#pragma once

// Reads one PipeWire video node (a screen cast) through GStreamer's pipewiresrc into
// BGRx frames in memory, without a copy: a frame's pixels are the mapped buffer PipeWire
// filled, released when the last PixelBuffer sharing it goes. Frames arrive when the
// producer sends them (a still screen sends none), on GStreamer's streaming thread; the
// error handler runs once, there or on the bus watch, when the stream fails or changes
// size. The size is the one first negotiated, in the stream's own pixels: what the
// producer says of its stream beforehand may be in the layout's units. Both stop with
// stop(), which joins GStreamer's threads. Thread-safe; handlers are set before start().

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <memory>
#include <string>

#include "desktop/pixel_buffer.h"
#include "util/agent_error.h"
#include "util/mutex.h"

namespace vela {

class PipeWireFrameSource : public std::enable_shared_from_this<PipeWireFrameSource> {
 public:
  using FrameHandler = std::function<void(const PixelBuffer& frame)>;
  using ErrorHandler = std::function<void(const AgentError& error)>;

  struct Size {
    int width = 0;
    int height = 0;
  };

  // The producer is asked for `maxFPS` frames a second at most. `pipewireFd` is the
  // PipeWire connection the node lives on (a portal's; the source dups it), or -1 for
  // the session's default one.
  static Result<std::shared_ptr<PipeWireFrameSource>> create(std::uint32_t node, int pipewireFd, int maxFPS);
  ~PipeWireFrameSource();

  void setOnFrame(FrameHandler handler) { onFrame_ = std::move(handler); }
  void setOnError(ErrorHandler handler) { onError_ = std::move(handler); }
  Result<void> start();
  // No handler runs after it returns.
  void stop();
  // The size the stream was negotiated at, once it is (after start()); the stream must
  // keep it. Gives up after `timeout`, or soon after `abandoned` turns true.
  Result<Size> negotiatedSize(std::chrono::milliseconds timeout, const std::function<bool()>& abandoned);

 private:
  PipeWireFrameSource(GstElement* pipeline, GstElement* sink);

  static GstFlowReturn onSample(GstAppSink* sink, gpointer data);
  static GstPadProbeReturn onEvent(GstPad*, GstPadProbeInfo* info, gpointer data);
  // The size a stream must keep from now on: the first one it is negotiated at.
  Size keptSize(int width, int height);
  static GstBusSyncReply onBusMessage(GstBus*, GstMessage* message, gpointer data);
  void fail(const std::string& why);

  GstElement* const pipeline_;
  GstElement* const sink_;
  FrameHandler onFrame_;
  ErrorHandler onError_;
  std::atomic<bool> running_{false};
  std::atomic<bool> failed_{false};
  std::uint64_t serial_ = 0;  // streaming thread only

  Mutex mu_;
  CondVar negotiated_;
  std::optional<Size> size_ GUARDED_BY(mu_);
};

}  // namespace vela
