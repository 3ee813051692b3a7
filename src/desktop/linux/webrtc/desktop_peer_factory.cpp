#include "desktop/linux/webrtc/desktop_peer_factory.h"

#include "desktop/linux/media/gst_runtime.h"
#include "desktop/linux/webrtc/libwebrtc_peer.h"
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
