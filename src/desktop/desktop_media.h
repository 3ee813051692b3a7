#pragma once

// The media of desktop sessions: the encoder, the WebRTC peer and the recording, made by
// the desktop module. Thread-safe.

#include <memory>
#include <string>

#include "desktop/desktop_peer.h"
#include "desktop/desktop_recording.h"
#include "desktop/linux/media/h264_encoder.h"
#include "util/agent_error.h"

namespace vela {

struct DesktopSessionMedia {
  std::shared_ptr<DesktopPeer> peer;
  std::shared_ptr<DesktopRecording> recording;
};

class DesktopMedia {
 public:
  virtual ~DesktopMedia() = default;
  // A peer of its own, or nullptr when this machine has no WebRTC backend (logged once).
  virtual std::shared_ptr<DesktopPeer> makePeer() = 0;
  // One session's media: the peer and the recording share one encoder. The failure is
  // the text the operator is sent.
  virtual Result<DesktopSessionMedia, std::string> makeSessionMedia(const std::string& recordingDirectory) = 0;
  virtual Result<std::shared_ptr<H264Encoder>, EncoderError> makeH264Encoder(H264Encoder::Config config) = 0;
};

}  // namespace vela
