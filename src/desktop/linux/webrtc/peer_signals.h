#pragma once

// The C trampolines between GStreamer and GstWebRTCPeer. Every connection made here
// holds the peer weakly plus the generation of the connection it belongs to, so a
// callback arriving after the peer died or its connection was replaced does nothing.
// No exception leaves a trampoline.

#include <gst/gst.h>
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include <cstdint>
#include <memory>
#include <string>

namespace vela {

class GstWebRTCPeer;

struct PeerSignals {
  static void connectWebRTC(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation, GstElement* webrtc);
  static void connectChannel(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation,
                             GstWebRTCDataChannel* channel);
  static GstPromise* offerPromise(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation);
  static GstPromise* localDescriptionPromise(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation,
                                             std::string sdp);
  static GstPromise* remoteDescriptionPromise(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation);

  // True on a thread that is inside one of the peer's GStreamer callbacks, where
  // stopping a pipeline would wait on itself.
  static bool inCallback();
};

}  // namespace vela
