#pragma once

// Where the desktop module hands out WebRTC peers.

#include <functional>
#include <memory>

#include "remote/desktop/desktop_peer.h"

namespace vela::DesktopPeerFactory {

using Factory = std::function<std::shared_ptr<DesktopPeer>()>;

// A factory of fresh LibWebRTCPeer objects, or an empty one (logged) when GStreamer or
// one of the peer's elements is missing: the process then has no WebRTC backend.
Factory make();

}  // namespace vela::DesktopPeerFactory
