#pragma once

// Where DesktopRecorder's frames go: a writer with an encoder of its own
// (RecordingWriter), or a branch behind the encoder a session shares with its WebRTC
// peer (SharedRecording). Status moves writing → completed after a clean finish, or to
// failed on the first error; a sink that is not writing takes no frames.

#include <functional>

#include "desktop/desktop_recording.h"

namespace vela {

class RecordingSink {
 public:
  enum class Status { writing, completed, failed };

  virtual ~RecordingSink() = default;
  virtual Status status() const = 0;
  // False when the frame was not taken. `pts` is the capture time; the sink makes the
  // file's time stamps relative to its first frame. Calls are serialised by the caller.
  virtual bool push(const BGRAFrame& frame, MediaTime pts) = 0;
  // Drains and closes the file, then calls `done` once, on a GStreamer worker thread,
  // with the final status.
  virtual void finish(std::function<void(Status)> done) = 0;
};

}  // namespace vela
