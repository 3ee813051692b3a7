#pragma once

// GstWebRTCPeer's inner records, shared by its operation and event files only.

#include <gst/gst.h>
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include <memory>
#include <string>
#include <vector>

#include "desktop/linux/webrtc/gst_webrtc_peer.h"
#include "desktop/linux/webrtc/peer_pipeline.h"
#include "util/mutex.h"

namespace vela {

// Requests for another offer after an empty create-offer reply: one retry.
inline constexpr int kMaxOfferAttempts = 2;

struct GstWebRTCPeer::Callbacks {
  Mutex lock;
  DescriptionCallback onLocalDescription GUARDED_BY(lock);
  CandidateCallback onLocalCandidate GUARDED_BY(lock);
  ControlDataCallback onControlData GUARDED_BY(lock);
  ConnectionStateCallback onConnectionState GUARDED_BY(lock);
  TargetBitrateCallback onTargetBitrate GUARDED_BY(lock);
  KeyframeRequestedCallback onKeyframeRequested GUARDED_BY(lock);

  template <typename Callback>
  void set(Callback Callbacks::*member, Callback callback) {
    MutexLock guard(lock);
    this->*member = std::move(callback);
  }

  // Copies the callback under the lock and calls it without.
  template <typename Member, typename... Args>
  void call(Member member, Args&&... args) {
    MutexLock guard(lock);
    auto callback = this->*member;
    guard.unlock();
    if (callback) callback(std::forward<Args>(args)...);
  }
};

// One peer connection: its pipeline and what was negotiated on it.
struct GstWebRTCPeer::Connection {
  Connection(std::uint64_t g, std::unique_ptr<PeerPipeline> p) : generation(g), pipeline(std::move(p)) {}
  ~Connection() {
    pipeline.reset();
    for (auto* channel : channels) gst_object_unref(channel);
  }

  const std::uint64_t generation;
  std::unique_ptr<PeerPipeline> pipeline;

  Mutex lock;
  std::vector<GstWebRTCDataChannel*> channels GUARDED_BY(lock);  // one reference each
  GstWebRTCDataChannel* inputChannel GUARDED_BY(lock) = nullptr;  // one of `channels`
  std::vector<std::string> mids GUARDED_BY(lock);  // of the local offer
  bool offerRequested GUARDED_BY(lock) = false;
  int offerAttempts GUARDED_BY(lock) = 0;
  bool descriptionDelivered GUARDED_BY(lock) = false;
  std::vector<IceCandidate> heldCandidates GUARDED_BY(lock);  // until the offer is out
  int acceptedCandidates GUARDED_BY(lock) = 0;
  int rejectedCandidates GUARDED_BY(lock) = 0;
  bool floodReported GUARDED_BY(lock) = false;
  std::string lastState GUARDED_BY(lock);
};

// The error text of a promise reply; empty when there is none.
std::string promiseError(const GstStructure* reply);

}  // namespace vela
