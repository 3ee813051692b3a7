#pragma once

// The WebRTC side of one desktop session: it offers the session encoder's pictures as
// one video track, takes the operator's answer and candidates, and carries control
// messages over the "input" data channel. Implementations live in the on-demand desktop
// module; core code sees only this interface. All operations are thread-safe and never block on the
// network. Callbacks run on the implementation's own threads: they must return quickly,
// must not throw, and are set before `start`.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "desktop/desktop_signaling.h"

namespace vela {

class DesktopPeer {
 public:
  using DescriptionCallback = std::function<void(const SessionDescription&)>;
  using CandidateCallback = std::function<void(const IceCandidate&)>;
  using ControlDataCallback = std::function<void(const std::string& bytes)>;
  using ConnectionStateCallback = std::function<void(const std::string& state)>;
  using TargetBitrateCallback = std::function<void(std::int32_t bitsPerSecond)>;
  using KeyframeRequestedCallback = std::function<void()>;

  virtual ~DesktopPeer() = default;

  virtual void start(const std::vector<IceServer>& iceServers) = 0;
  // A fresh connection and exactly one new offer.
  virtual void renegotiate() = 0;
  virtual void setRemoteDescription(const SessionDescription& description) = 0;
  virtual void addRemoteCandidate(const IceCandidate& candidate) = 0;
  // Sent as a text message; dropped when there is no open "input" channel.
  virtual void sendControl(const std::string& bytes) = 0;
  virtual void setTargetResolution(int width, int height, int fps) = 0;
  virtual void close() = 0;

  virtual void setOnLocalDescription(DescriptionCallback callback) = 0;
  virtual void setOnLocalCandidate(CandidateCallback callback) = 0;
  virtual void setOnControlData(ControlDataCallback callback) = 0;
  // "new", "connecting", "connected", "failed", "disconnected", "closed" or "unknown".
  virtual void setOnConnectionState(ConnectionStateCallback callback) = 0;
  virtual void setOnTargetBitrate(TargetBitrateCallback callback) = 0;
  virtual void setOnKeyframeRequested(KeyframeRequestedCallback callback) = 0;
};

}  // namespace vela
