#pragma once

// Where the desktop module hands out WebRTC peers.

#include <functional>
#include <initializer_list>
#include <memory>

#include "desktop/desktop_peer.h"

namespace vela::DesktopPeerFactory {

using Factory = std::function<std::shared_ptr<DesktopPeer>()>;

// GStreamer elements every peer connection needs.
inline constexpr std::initializer_list<const char*> kElements = {
    "appsrc", "videoconvert", "videoscale", "x264enc", "h264parse", "tee",
    "queue",  "rtph264pay",   "webrtcbin",  "nicesrc", "dtlssrtpenc", "sctpenc"};

// A factory of fresh LibWebRTCPeer objects, or an empty one (logged) when GStreamer or
// one of the peer's elements is missing: the process then has no WebRTC backend.
Factory make();

}  // namespace vela::DesktopPeerFactory
