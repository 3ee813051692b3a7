#include "desktop/linux/webrtc/gst_webrtc_peer.h"

#include <gst/sdp/sdp.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <utility>

#include "desktop/linux/webrtc/gst_webrtc_peer_state.h"
#include "desktop/linux/webrtc/peer_pipeline.h"
#include "desktop/linux/webrtc/peer_sdp.h"
#include "desktop/linux/webrtc/peer_signals.h"
#include "desktop/linux/webrtc/peer_video_policy.h"
#include "platform/system_sources.h"
#include "util/log.h"

namespace vela {
namespace {

constexpr const char* kChannelLabel = "input";
// A hostile or broken operator could trickle without end; a real one sends a few dozen.
constexpr int kMaxRemoteCandidates = 500;
constexpr int kLoggedRejections = 5;

std::optional<GstWebRTCSDPType> sdpType(SessionDescription::Kind kind) {
  switch (kind) {
    case SessionDescription::Kind::offer: return GST_WEBRTC_SDP_TYPE_OFFER;
    case SessionDescription::Kind::answer: return GST_WEBRTC_SDP_TYPE_ANSWER;
    case SessionDescription::Kind::pranswer: return GST_WEBRTC_SDP_TYPE_PRANSWER;
    case SessionDescription::Kind::rollback: return GST_WEBRTC_SDP_TYPE_ROLLBACK;
  }
  return std::nullopt;
}

// In a network namespace with nothing but loopback, libnice finds no address to gather
// on. Naming one makes libnice use only the named ones, so it is done only there.
bool loopbackOnly() {
  const auto interfaces = platform::systemSources().interfaceStats();
  if (!interfaces) return false;
  return std::all_of(interfaces->begin(), interfaces->end(), [](const auto& i) { return i.name == "lo"; });
}

void configureIce(GstElement* webrtc, const std::vector<IceServer>& servers) {
  bool haveStun = false;
  for (const auto& server : servers) {
    for (const auto& url : server.urls) {
      if (auto stun = PeerSDP::stunServer(url)) {
        // webrtcbin takes a single STUN server; the first one wins.
        if (!haveStun) g_object_set(webrtc, "stun-server", stun->c_str(), nullptr);
        haveStun = true;
      } else if (auto turn = PeerSDP::turnServer(url, server.username, server.credential)) {
        gboolean added = FALSE;
        g_signal_emit_by_name(webrtc, "add-turn-server", turn->c_str(), &added);
        if (!added) Log::warn("desktop peer: TURN server not accepted: " + url);
      } else {
        Log::warn("desktop peer: ignoring ICE server URL " + url);
      }
    }
  }
  if (loopbackOnly()) {
    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (ice) {
      gboolean added = FALSE;
      g_signal_emit_by_name(ice, "add-local-ip-address", "127.0.0.1", &added);
      gst_object_unref(ice);
    }
  }
}

}  // namespace

std::shared_ptr<GstWebRTCPeer> GstWebRTCPeer::create(std::shared_ptr<SharedEncoder> encoder) {
  return std::shared_ptr<GstWebRTCPeer>(new GstWebRTCPeer(std::move(encoder)));
}

GstWebRTCPeer::GstWebRTCPeer(std::shared_ptr<SharedEncoder> encoder)
    : callbacks_(std::make_unique<Callbacks>()), encoder_(std::move(encoder)) {}

GstWebRTCPeer::~GstWebRTCPeer() { retire(std::move(pc_)); }

void GstWebRTCPeer::retire(std::shared_ptr<Connection> connection) {
  if (!connection) return;
  connection->pipeline->markClosing();
  if (PeerSignals::inCallback()) {
    // Stopping the pipeline from one of its own threads would wait for itself.
    std::thread([c = std::move(connection)] { c->pipeline->shutdown(); }).detach();
    return;
  }
  connection->pipeline->shutdown();
}

std::shared_ptr<GstWebRTCPeer::Connection> GstWebRTCPeer::current() const {
  MutexLock guard(pcLock_);
  return pc_;
}

std::shared_ptr<GstWebRTCPeer::Connection> GstWebRTCPeer::current(std::uint64_t generation) const {
  MutexLock guard(pcLock_);
  return pc_ && pc_->generation == generation ? pc_ : nullptr;
}

void GstWebRTCPeer::start(const std::vector<IceServer>& iceServers) {
  {
    MutexLock guard(pcLock_);
    iceServers_ = iceServers;
    started_ = true;
  }
  negotiate();
}

void GstWebRTCPeer::renegotiate() {
  {
    MutexLock guard(pcLock_);
    if (!started_) return;
  }
  negotiate();
}

void GstWebRTCPeer::negotiate() {
  std::shared_ptr<Connection> previous;
  std::uint64_t generation = 0;
  std::vector<IceServer> servers;
  {
    MutexLock guard(pcLock_);
    previous = std::move(pc_);
    generation = nextGeneration_++;
    servers = iceServers_;
  }
  retire(std::move(previous));

  auto pipeline = PeerPipeline::attach(encoder_);
  if (!pipeline) {
    Log::error("desktop peer: " + pipeline.error().description());
    return;
  }
  auto connection = std::make_shared<Connection>(generation, std::move(*pipeline));
  GstElement* webrtc = connection->pipeline->webrtc();
  configureIce(webrtc, servers);
  PeerSignals::connectWebRTC(shared_from_this(), generation, webrtc);

  // The channel must exist before PLAYING so that the one offer carries it.
  if (auto ready = connection->pipeline->setState(GST_STATE_READY); !ready) {
    Log::error("desktop peer: " + ready.error().description());
    return;
  }
  GstWebRTCDataChannel* channel = nullptr;
  GstStructure* options = gst_structure_new("options", "ordered", G_TYPE_BOOLEAN, TRUE, nullptr);
  g_signal_emit_by_name(webrtc, "create-data-channel", kChannelLabel, options, &channel);
  gst_structure_free(options);
  if (channel) {
    PeerSignals::connectChannel(shared_from_this(), generation, channel);
    MutexLock guard(connection->lock);
    connection->channels.push_back(channel);
    connection->inputChannel = channel;
  } else {
    Log::warn("desktop peer: could not create the input channel");
  }
  connection->pipeline->makeSendOnly();

  bool stale = false;
  {
    MutexLock guard(pcLock_);
    // A concurrent negotiate or close won; this connection is already stale.
    stale = pc_ || nextGeneration_ != generation + 1;
    if (!stale) pc_ = connection;
  }
  if (stale) {
    retire(std::move(connection));  // outside the lock: stopping waits for webrtcbin's threads
    return;
  }
  if (auto playing = connection->pipeline->setState(GST_STATE_PLAYING); !playing) {
    Log::error("desktop peer: " + playing.error().description());
  }
}

void GstWebRTCPeer::setRemoteDescription(const SessionDescription& description) {
  auto connection = current();
  if (!connection) {
    Log::warn("desktop peer: remote description without a connection ignored");
    return;
  }
  const auto type = sdpType(description.kind);
  if (!type || !PeerSDP::plausibleDescription(description.sdp)) {
    Log::warn("desktop peer: remote description is not SDP; ignored");
    return;
  }
  bool offered = false;
  {
    MutexLock guard(connection->lock);
    offered = connection->descriptionDelivered;
  }
  if (!offered && description.kind != SessionDescription::Kind::offer) {
    Log::warn("desktop peer: answer before any offer ignored");
    return;
  }
  GstSDPMessage* message = nullptr;
  if (gst_sdp_message_new_from_text(description.sdp.c_str(), &message) != GST_SDP_OK) {
    Log::warn("desktop peer: remote description did not parse; ignored");
    return;
  }
  GstWebRTCSessionDescription* remote = gst_webrtc_session_description_new(*type, message);
  GstPromise* promise = PeerSignals::remoteDescriptionPromise(shared_from_this(), connection->generation);
  g_signal_emit_by_name(connection->pipeline->webrtc(), "set-remote-description", remote, promise);
  gst_promise_unref(promise);
  gst_webrtc_session_description_free(remote);
}

void GstWebRTCPeer::addRemoteCandidate(const IceCandidate& candidate) {
  auto connection = current();
  if (!connection) return;
  std::string_view text = candidate.candidate;
  if (text.substr(0, 2) == "a=") text.remove_prefix(2);
  std::string problem;
  unsigned mline = 0;
  {
    MutexLock guard(connection->lock);
    if (!PeerSDP::plausibleCandidate(text)) {
      problem = "malformed candidate";
    } else if (connection->mids.empty()) {
      problem = "candidate before the offer";
    } else if (connection->acceptedCandidates >= kMaxRemoteCandidates) {
      problem = "too many candidates";
    } else if (candidate.sdpMid) {
      const auto found =
          std::find(connection->mids.begin(), connection->mids.end(), *candidate.sdpMid);
      if (found == connection->mids.end()) problem = "candidate for unknown mid";
      mline = static_cast<unsigned>(found - connection->mids.begin());
    } else if (candidate.sdpMLineIndex < 0 ||
               static_cast<std::size_t>(candidate.sdpMLineIndex) >= connection->mids.size()) {
      problem = "candidate for unknown m-line";
    } else {
      mline = static_cast<unsigned>(candidate.sdpMLineIndex);
    }
    // Each kind of trouble is reported a few times at most: a flood must not flood the log.
    if (problem.empty()) {
      ++connection->acceptedCandidates;
    } else if (connection->acceptedCandidates >= kMaxRemoteCandidates) {
      if (std::exchange(connection->floodReported, true)) return;
    } else if (++connection->rejectedCandidates > kLoggedRejections) {
      return;
    }
  }
  if (!problem.empty()) {
    Log::warn("desktop peer: " + problem + " ignored");
    return;
  }
  const std::string owned(text);
  g_signal_emit_by_name(connection->pipeline->webrtc(), "add-ice-candidate", mline, owned.c_str());
}

void GstWebRTCPeer::sendControl(const std::string& bytes) {
  auto connection = current();
  if (!connection) return;
  GstWebRTCDataChannel* channel = nullptr;
  {
    MutexLock guard(connection->lock);
    if (connection->inputChannel) channel = GST_WEBRTC_DATA_CHANNEL(gst_object_ref(connection->inputChannel));
  }
  if (!channel) return;
  GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
  g_object_get(channel, "ready-state", &state, nullptr);
  if (state == GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) {
    g_signal_emit_by_name(channel, "send-string", bytes.c_str());
  } else {
    Log::debug("desktop peer: input channel not open; control message dropped");
  }
  gst_object_unref(channel);
}

void GstWebRTCPeer::setTargetResolution(int width, int height, int fps) {
  const auto cap = PeerVideoPolicy::bitrateCap(width, height, fps);
  // The encoder keeps the captured size, which the recording behind it needs; only its
  // rate follows the operator's target.
  if (auto connection = current()) connection->pipeline->setBitrate(cap);
  Log::info("desktop: target resolution " + std::to_string(width) + "x" + std::to_string(height) + "@" +
            std::to_string(fps) + " (~" + std::to_string(cap / 1'000'000) + " Mbit/s)");
}

void GstWebRTCPeer::close() {
  std::shared_ptr<Connection> connection;
  {
    MutexLock guard(pcLock_);
    connection = std::move(pc_);
    ++nextGeneration_;  // a negotiation still building its connection must not install it
  }
  if (!connection) return;
  // Closing the channel is the first step that may make the transport fail.
  connection->pipeline->markClosing();
  GstWebRTCDataChannel* channel = nullptr;
  {
    MutexLock guard(connection->lock);
    if (connection->inputChannel) channel = GST_WEBRTC_DATA_CHANNEL(gst_object_ref(connection->inputChannel));
  }
  if (channel) {
    g_signal_emit_by_name(channel, "close");
    gst_object_unref(channel);
  }
  retire(std::move(connection));
}

void GstWebRTCPeer::setOnLocalDescription(DescriptionCallback callback) {
  callbacks_->set(&Callbacks::onLocalDescription, std::move(callback));
}
void GstWebRTCPeer::setOnLocalCandidate(CandidateCallback callback) {
  callbacks_->set(&Callbacks::onLocalCandidate, std::move(callback));
}
void GstWebRTCPeer::setOnControlData(ControlDataCallback callback) {
  callbacks_->set(&Callbacks::onControlData, std::move(callback));
}
void GstWebRTCPeer::setOnConnectionState(ConnectionStateCallback callback) {
  callbacks_->set(&Callbacks::onConnectionState, std::move(callback));
}
// Kept for the interface; this peer has no bandwidth estimate to report.
void GstWebRTCPeer::setOnTargetBitrate(TargetBitrateCallback callback) {
  callbacks_->set(&Callbacks::onTargetBitrate, std::move(callback));
}
void GstWebRTCPeer::setOnKeyframeRequested(KeyframeRequestedCallback callback) {
  callbacks_->set(&Callbacks::onKeyframeRequested, std::move(callback));
}

std::optional<std::uint32_t> GstWebRTCPeer::encoderBitrateKbpsForTesting() const {
  auto connection = current();
  if (!connection) return std::nullopt;
  return connection->pipeline->bitrateKbps();
}

bool GstWebRTCPeer::hasInputChannelForTesting() const {
  auto connection = current();
  if (!connection) return false;
  MutexLock guard(connection->lock);
  return connection->inputChannel != nullptr;
}

int GstWebRTCPeer::acceptedCandidatesForTesting() const {
  auto connection = current();
  if (!connection) return 0;
  MutexLock guard(connection->lock);
  return connection->acceptedCandidates;
}

std::uint64_t GstWebRTCPeer::framesEncodedForTesting() const {
  auto connection = current();
  return connection ? connection->pipeline->framesEncoded() : 0;
}

std::string GstWebRTCPeer::stunServerForTesting() const {
  auto connection = current();
  if (!connection) return {};
  gchar* server = nullptr;
  g_object_get(connection->pipeline->webrtc(), "stun-server", &server, nullptr);
  std::string result = server ? server : "";
  g_free(server);
  return result;
}

}  // namespace vela
