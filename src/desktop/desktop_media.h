#pragma once

// The media of desktop sessions, made by the desktop module: one encoder per session,
// whose pictures the recording and the peer's connections take. Thread-safe.

#include <memory>
#include <string>

#include "desktop/desktop_peer.h"
#include "desktop/desktop_recording.h"
#include "desktop/desktop_video_input.h"
#include "util/agent_error.h"

namespace vela {

// Frames go into `video`; the recording and the peer are branches after it.
struct DesktopSessionMedia {
  std::shared_ptr<DesktopPeer> peer;
  std::shared_ptr<DesktopRecording> recording;
  std::shared_ptr<DesktopVideoInput> video;
};

class DesktopMedia {
 public:
  virtual ~DesktopMedia() = default;
  // One session's media. The failure is the text the operator is sent.
  virtual Result<DesktopSessionMedia, std::string> makeSessionMedia(const std::string& recordingDirectory) = 0;
  // The session encoder at `fps` with nothing behind it but a tally (desktop-probe).
  // Fails with "H.264 encoder pipeline failed to start (<why>)".
  virtual Result<std::shared_ptr<DesktopEncodingCheck>, std::string> makeEncodingCheck(int fps) = 0;
};

}  // namespace vela
