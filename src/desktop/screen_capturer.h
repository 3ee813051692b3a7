#pragma once

// Captures one display as BGRA frames, at most at a fixed rate and only when the picture
// changed: a still screen delivers nothing. Frames and the stop callback
// arrive on the "vela.screencap.samples" queue; at most five frames wait there (or are
// held by the consumer), further ones are dropped. Start reports the captured size or
// a CaptureError through its completion. Implementations are thread-safe; callbacks
// are set before start.

#include <functional>
#include <optional>

#include "desktop/pixel_buffer.h"
#include "desktop/screen_types.h"
#include "util/agent_error.h"

namespace vela {

class ScreenCapturer {
 public:
  struct Config {
    int fps = 30;
    bool showsCursor = true;
  };
  struct Size {
    int width = 0;
    int height = 0;
  };
  using FrameHandler = std::function<void(const PixelBuffer& frame, MediaTime pts)>;
  // An absent error means the capture was stopped on request.
  using StopHandler = std::function<void(const std::optional<AgentError>& error)>;
  using StartCompletion = std::function<void(Result<Size, CaptureError> result)>;

  virtual ~ScreenCapturer() = default;
  virtual void setOnFrame(FrameHandler handler) = 0;
  virtual void setOnStopped(StopHandler handler) = 0;
  // Captures `displayID`, or the main display when none is given; an unknown id falls
  // back to the first display listed.
  virtual void start(std::optional<std::uint32_t> displayID, StartCompletion completion) = 0;
  // Stops and waits for the capture thread; no frame is delivered after it returns.
  virtual void stop() = 0;
  // Delivers the current picture at the next opportunity even if nothing changed: for a
  // consumer that ignored the frames so far (a session waiting for consent).
  virtual void refresh() = 0;
  // start() shows a dialog of the desktop's own asking the person at the screen (a
  // desktop portal's): the agent's consent is asked before it, not after.
  virtual bool asksPersonOnStart() const { return false; }
};

}  // namespace vela
