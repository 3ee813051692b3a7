#pragma once

// Text rules the WebRTC peer applies to SDP, candidates and ICE server URLs before they
// reach webrtcbin. Free of GStreamer so they can be checked on their own.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/desktop_signaling.h"

namespace vela::PeerSDP {

// webrtcbin names the video track after its transceiver; the operator's page expects
// the design's ids, so every msid of the video sections is rewritten (and added where
// missing).
std::string announceVideoTrack(std::string_view sdp, std::string_view streamID, std::string_view trackID);

// The a=mid values in m-line order ("" for a section without one).
std::vector<std::string> mids(std::string_view sdp);

// Cheap shape check before a remote description is parsed: a version line first and at
// least one media section. webrtcbin's own parser accepts almost any text.
bool plausibleDescription(std::string_view sdp);

// A single "candidate:" attribute value (an "a=" prefix is tolerated), no line breaks.
bool plausibleCandidate(std::string_view candidate);

// webrtcbin's server forms: "stun://host:port", "turn(s)://user:pass@host:port?...".
// Nothing for a URL of another scheme or without a host.
std::optional<std::string> stunServer(std::string_view url);
std::optional<std::string> turnServer(std::string_view url, const std::optional<std::string>& username,
                                      const std::optional<std::string>& credential);

}  // namespace vela::PeerSDP
