#pragma once

// Reads one PipeWire video node (a screen cast) through GStreamer's pipewiresrc into
// BGRx frames in memory, without a copy: a frame's pixels are the mapped buffer PipeWire
// filled, released when the last PixelBuffer sharing it goes. Frames arrive when the
// producer sends them (a still screen sends none), on GStreamer's streaming thread; the
// error handler runs once, there or on the bus watch, when the stream fails or changes
// size. Both stop with stop(), which joins GStreamer's threads. Thread-safe; handlers
// are set before start().

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "desktop/pixel_buffer.h"
#include "util/agent_error.h"

namespace vela {

class PipeWireFrameSource : public std::enable_shared_from_this<PipeWireFrameSource> {
 public:
  using FrameHandler = std::function<void(const PixelBuffer& frame)>;
  using ErrorHandler = std::function<void(const AgentError& error)>;

  // `width` x `height` is the size the stream must keep; another size is an error. The
  // producer is asked for `maxFPS` frames a second at most. `pipewireFd` is the PipeWire
  // connection the node lives on (a portal's; the source dups it), or -1 for the
  // session's default one.
  static Result<std::shared_ptr<PipeWireFrameSource>> create(std::uint32_t node, int pipewireFd, int width,
                                                              int height, int maxFPS);
  ~PipeWireFrameSource();

  void setOnFrame(FrameHandler handler) { onFrame_ = std::move(handler); }
  void setOnError(ErrorHandler handler) { onError_ = std::move(handler); }
  Result<void> start();
  // No handler runs after it returns.
  void stop();

 private:
  PipeWireFrameSource(GstElement* pipeline, GstElement* sink, int width, int height);

  static GstFlowReturn onSample(GstAppSink* sink, gpointer data);
  static GstBusSyncReply onBusMessage(GstBus*, GstMessage* message, gpointer data);
  void fail(const std::string& why);

  GstElement* const pipeline_;
  GstElement* const sink_;
  const int width_;
  const int height_;
  FrameHandler onFrame_;
  ErrorHandler onError_;
  std::atomic<bool> running_{false};
  std::atomic<bool> failed_{false};
  std::uint64_t serial_ = 0;  // streaming thread only
};

}  // namespace vela
