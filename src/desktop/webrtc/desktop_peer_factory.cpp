#include "desktop/webrtc/desktop_peer_factory.h"

#include <string>

#include "desktop/webrtc/gst_runtime.h"
#include "desktop/webrtc/libwebrtc_peer.h"
#include "util/log.h"

namespace vela::DesktopPeerFactory {

Factory make() {
  std::string why;
  if (!GstRuntime::ensure(&why)) {
    Log::warn("desktop: no WebRTC backend: " + why);
    return {};
  }
  return []() -> std::shared_ptr<DesktopPeer> { return LibWebRTCPeer::create(); };
}

}  // namespace vela::DesktopPeerFactory
