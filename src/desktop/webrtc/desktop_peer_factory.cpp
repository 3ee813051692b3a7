#include "desktop/webrtc/desktop_peer_factory.h"

#include "desktop/gst_runtime.h"
#include "desktop/webrtc/libwebrtc_peer.h"
#include "util/log.h"

namespace vela::DesktopPeerFactory {

Factory make() {
  if (auto ready = GstRuntime::requireElements(kElements); !ready) {
    Log::warn("desktop: no WebRTC backend: " + ready.error().message);
    return {};
  }
  return []() -> std::shared_ptr<DesktopPeer> { return LibWebRTCPeer::create(); };
}

}  // namespace vela::DesktopPeerFactory
