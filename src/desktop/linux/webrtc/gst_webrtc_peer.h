#pragma once

// The desktop peer on GStreamer's webrtcbin, over a session's SharedEncoder. Each
// `start`/`renegotiate` builds a fresh connection, a tail on that encoder (see
// PeerPipeline), and makes exactly one offer once video caps are known; renegotiation
// replaces only the tail. GStreamer calls back on its own threads: those callbacks hold
// the peer weakly, ignore a replaced connection, never block and never throw. `pcLock_`
// guards the connection; nothing calls out (into GStreamer or a user callback) while
// holding it. Create with `create`.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/linux/webrtc/peer_introspection.h"
#include "desktop/desktop_peer.h"
#include "util/mutex.h"

typedef struct _GstStructure GstStructure;
typedef struct _GstCaps GstCaps;
typedef struct _GstWebRTCDataChannel GstWebRTCDataChannel;

namespace vela {

class SharedEncoder;

class GstWebRTCPeer final : public DesktopPeer,
                            public PeerIntrospection,
                            public std::enable_shared_from_this<GstWebRTCPeer> {
 public:
  // REQUIRES: SharedEncoder::requireElements() and
  // GstRuntime::requireElements(DesktopPeerFactory::kElements) have succeeded.
  static std::shared_ptr<GstWebRTCPeer> create(std::shared_ptr<SharedEncoder> encoder);
  ~GstWebRTCPeer() override;

  void start(const std::vector<IceServer>& iceServers) override;
  void renegotiate() override;
  void setRemoteDescription(const SessionDescription& description) override;
  void addRemoteCandidate(const IceCandidate& candidate) override;
  void sendControl(const std::string& bytes) override;
  void setTargetResolution(int width, int height, int fps) override;
  void close() override;

  void setOnLocalDescription(DescriptionCallback callback) override;
  void setOnLocalCandidate(CandidateCallback callback) override;
  void setOnControlData(ControlDataCallback callback) override;
  void setOnConnectionState(ConnectionStateCallback callback) override;
  void setOnTargetBitrate(TargetBitrateCallback callback) override;
  void setOnKeyframeRequested(KeyframeRequestedCallback callback) override;

  std::optional<std::uint32_t> encoderBitrateKbpsForTesting() const override;
  bool hasInputChannelForTesting() const;
  // Remote candidates handed to webrtcbin on the current connection.
  int acceptedCandidatesForTesting() const;
  std::uint64_t framesEncodedForTesting() const override;
  // webrtcbin's STUN server setting; empty without a connection or server.
  std::string stunServerForTesting() const;

 private:
  friend struct PeerTrampolines;
  struct Connection;  // gst_webrtc_peer_state.h
  struct Callbacks;

  // Entry points for the GStreamer trampolines (peer_signals.cpp); each ignores a
  // connection other than the current one.
  void handleVideoCaps(std::uint64_t generation, GstCaps* caps);
  void handleOfferReply(std::uint64_t generation, const GstStructure* reply);
  void handleLocalDescriptionSet(std::uint64_t generation, const std::string& sdp, const GstStructure* reply);
  void handleRemoteDescriptionReply(std::uint64_t generation, const GstStructure* reply);
  void handleLocalCandidate(std::uint64_t generation, unsigned mlineIndex, const char* candidate);
  void handleIceState(std::uint64_t generation, int state);
  void handleSecured(std::uint64_t generation);
  void handleRemoteChannel(std::uint64_t generation, GstWebRTCDataChannel* channel);
  void handleChannelClosed(std::uint64_t generation);
  void handleMessage(std::uint64_t generation, std::string bytes);

  explicit GstWebRTCPeer(std::shared_ptr<SharedEncoder> encoder);

  void negotiate();
  std::shared_ptr<Connection> current(std::uint64_t generation) const;
  std::shared_ptr<Connection> current() const;
  void requestOffer(const std::shared_ptr<Connection>& connection);
  static void retire(std::shared_ptr<Connection> connection);

  mutable Mutex pcLock_;
  std::shared_ptr<Connection> pc_ GUARDED_BY(pcLock_);
  std::vector<IceServer> iceServers_ GUARDED_BY(pcLock_);
  bool started_ GUARDED_BY(pcLock_) = false;
  std::uint64_t nextGeneration_ GUARDED_BY(pcLock_) = 1;

  const std::unique_ptr<Callbacks> callbacks_;
  const std::shared_ptr<SharedEncoder> encoder_;
};

}  // namespace vela
