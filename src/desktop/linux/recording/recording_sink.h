#pragma once

// The file DesktopRecorder writes, as it sees it: a branch behind the encoder a session
// shares with its WebRTC peer (SharedRecording). Status moves writing → completed after
// a clean finish, or to failed on the first error; a sink that is not writing takes no
// pictures.

#include <functional>

#include "desktop/desktop_recording.h"

namespace vela {

class RecordingSink {
 public:
  enum class Status { writing, completed, failed };

  virtual ~RecordingSink() = default;
  virtual Status status() const = 0;
  // Seconds from the first picture the file took to the last; final once finished.
  virtual double durationS() const = 0;
  // Drains and closes the file, then calls `done` once, on a GStreamer worker thread,
  // with the final status.
  virtual void finish(std::function<void(Status)> done) = 0;
};

}  // namespace vela
