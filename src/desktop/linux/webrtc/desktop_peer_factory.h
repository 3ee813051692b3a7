#pragma once

// What the desktop module needs to hand out WebRTC peers.

#include <initializer_list>

namespace vela::DesktopPeerFactory {

// GStreamer elements every peer connection needs beside the session encoder's.
inline constexpr std::initializer_list<const char*> kElements = {"queue",   "rtph264pay",  "webrtcbin",
                                                                 "nicesrc", "dtlssrtpenc", "sctpenc"};

}  // namespace vela::DesktopPeerFactory
