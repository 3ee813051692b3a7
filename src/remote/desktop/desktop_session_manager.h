#pragma once

// Serves incoming desktop frames in the process that can reach the screen. This build
// has no desktop session backend: every "desktop.open" is answered with an error frame,
// signals and closes for unknown sessions are ignored. Thread-safe.

#include <functional>
#include <memory>
#include <string>

#include "remote/desktop/desktop_frames.h"
#include "remote/desktop/desktop_peer.h"

namespace vela {

class DesktopBackend;

class DesktopSessionManager {
 public:
  using Send = std::function<void(const std::string& frameText)>;
  using PeerFactory = std::function<std::shared_ptr<DesktopPeer>()>;
  using BackendProvider = std::function<DesktopBackend*()>;

  DesktopSessionManager(Send send, PeerFactory peerFactory, int maxSessions = 2)
      : send_(std::move(send)), peerFactory_(std::move(peerFactory)), maxSessions_(maxSessions) {}

  void handle(const IncomingDesktopFrame& frame);
  void killAll() {}
  int activeCount() const { return 0; }
  int maxSessions() const { return maxSessions_; }

 private:
  const Send send_;
  const PeerFactory peerFactory_;
  const int maxSessions_;
};

}  // namespace vela
