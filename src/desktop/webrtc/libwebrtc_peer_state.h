#pragma once

// LibWebRTCPeer's inner records, shared by its operation and event files only.

#include <gst/gst.h>
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/webrtc/libwebrtc_peer.h"
#include "desktop/webrtc/peer_pipeline.h"
#include "desktop/webrtc/peer_video_policy.h"

namespace vela {

// Requests for another offer after an empty create-offer reply: one retry.
inline constexpr int kMaxOfferAttempts = 2;

struct LibWebRTCPeer::Callbacks {
  std::mutex lock;
  DescriptionCallback onLocalDescription;
  CandidateCallback onLocalCandidate;
  ControlDataCallback onControlData;
  ConnectionStateCallback onConnectionState;
  TargetBitrateCallback onTargetBitrate;
  KeyframeRequestedCallback onKeyframeRequested;

  // Copies the callback under the lock and calls it without.
  template <typename Member, typename... Args>
  void call(Member member, Args&&... args) {
    std::unique_lock guard(lock);
    auto callback = this->*member;
    guard.unlock();
    if (callback) callback(std::forward<Args>(args)...);
  }
};

// One peer connection: its pipeline and what was negotiated on it.
struct LibWebRTCPeer::Connection {
  Connection(std::uint64_t g, std::unique_ptr<PeerPipeline> p) : generation(g), pipeline(std::move(p)) {}
  ~Connection() {
    pipeline.reset();
    for (auto* channel : channels) gst_object_unref(channel);
  }

  const std::uint64_t generation;
  std::unique_ptr<PeerPipeline> pipeline;

  std::mutex lock;
  std::vector<GstWebRTCDataChannel*> channels;  // guarded by lock; one reference each
  GstWebRTCDataChannel* inputChannel = nullptr;  // guarded by lock; one of `channels`
  std::vector<std::string> mids;                 // guarded by lock; of the local offer
  bool offerRequested = false;                   // guarded by lock
  int offerAttempts = 0;                         // guarded by lock
  bool descriptionDelivered = false;             // guarded by lock
  std::vector<IceCandidate> heldCandidates;      // guarded by lock; until the offer is out
  int acceptedCandidates = 0;                    // guarded by lock
  int rejectedCandidates = 0;                    // guarded by lock
  bool floodReported = false;                    // guarded by lock
  int frameWidth = 0, frameHeight = 0;           // guarded by lock
  PeerVideoPolicy::Size encodedSize;             // guarded by lock
  std::string lastState;                         // guarded by lock
};

// The error text of a promise reply; empty when there is none.
std::string promiseError(const GstStructure* reply);

}  // namespace vela
