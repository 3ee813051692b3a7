#include "desktop/linux/webrtc/gst_webrtc_peer.h"

#include <gst/sdp/sdp.h>

#include "desktop/linux/webrtc/gst_webrtc_peer_state.h"
#include "desktop/linux/webrtc/peer_sdp.h"
#include "desktop/linux/webrtc/peer_signals.h"
#include "util/log.h"

// What webrtcbin reports back: offers, candidates, states, channels and messages.

namespace vela {
namespace {

constexpr const char* kStreamID = "vela-desktop";
constexpr const char* kTrackID = "screen0";
constexpr const char* kChannelLabel = "input";

std::string stateName(int state) {
  switch (state) {
    case GST_WEBRTC_ICE_CONNECTION_STATE_NEW: return "new";
    case GST_WEBRTC_ICE_CONNECTION_STATE_CHECKING: return "connecting";
    // ICE flaps between these two on a healthy link.
    case GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED:
    case GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED: return "connected";
    case GST_WEBRTC_ICE_CONNECTION_STATE_FAILED: return "failed";
    case GST_WEBRTC_ICE_CONNECTION_STATE_DISCONNECTED: return "disconnected";
    case GST_WEBRTC_ICE_CONNECTION_STATE_CLOSED: return "closed";
    default: return "unknown";
  }
}

}  // namespace

std::string promiseError(const GstStructure* reply) {
  if (!reply || !gst_structure_has_field(reply, "error")) return {};
  GError* error = nullptr;
  gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
  std::string text = error ? error->message : "unknown error";
  g_clear_error(&error);
  return text;
}

void GstWebRTCPeer::handleVideoCaps(std::uint64_t generation, GstCaps* caps) {
  auto connection = current(generation);
  if (!connection) return;
  {
    MutexLock guard(connection->lock);
    if (connection->offerRequested) return;
    connection->offerRequested = true;
  }
  // The offer names the codec the payloader produces, not every one it might. Only the
  // stream-independent fields go in: parameter sets and level change with the picture
  // size, and caps outside the preferences would stop the stream on a resize.
  GstWebRTCRTPTransceiver* transceiver = nullptr;
  g_signal_emit_by_name(connection->pipeline->webrtc(), "get-transceiver", 0, &transceiver);
  if (transceiver && caps) {
    GstCaps* preferences = gst_caps_copy(caps);
    for (guint i = 0; i < gst_caps_get_size(preferences); ++i) {
      gst_structure_filter_and_map_in_place(
          gst_caps_get_structure(preferences, i),
          [](GQuark field, GValue*, gpointer) -> gboolean {
            const std::string_view name = g_quark_to_string(field);
            return name == "media" || name == "encoding-name" || name == "payload" || name == "clock-rate" ||
                   name == "packetization-mode";
          },
          nullptr);
    }
    g_object_set(transceiver, "codec-preferences", preferences, nullptr);
    gst_caps_unref(preferences);
  }
  if (transceiver) gst_object_unref(transceiver);
  requestOffer(connection);
}

void GstWebRTCPeer::requestOffer(const std::shared_ptr<Connection>& connection) {
  {
    MutexLock guard(connection->lock);
    ++connection->offerAttempts;
  }
  GstPromise* promise = PeerSignals::offerPromise(shared_from_this(), connection->generation);
  g_signal_emit_by_name(connection->pipeline->webrtc(), "create-offer", nullptr, promise);
  gst_promise_unref(promise);
}

void GstWebRTCPeer::handleOfferReply(std::uint64_t generation, const GstStructure* reply) {
  auto connection = current(generation);
  if (!connection) return;
  GstWebRTCSessionDescription* offer = nullptr;
  if (reply && gst_structure_has_field_typed(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION)) {
    gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
  }
  if (!offer) {
    int attempts = 0;
    {
      MutexLock guard(connection->lock);
      attempts = connection->offerAttempts;
    }
    const std::string why = promiseError(reply);
    if (attempts < kMaxOfferAttempts) {
      Log::warn("desktop peer: create-offer gave no offer" + (why.empty() ? "" : " (" + why + ")") + "; retrying");
      requestOffer(connection);
    } else {
      Log::error("desktop peer: create-offer gave no offer" + (why.empty() ? "" : " (" + why + ")"));
    }
    return;
  }
  gchar* text = gst_sdp_message_as_text(offer->sdp);
  gst_webrtc_session_description_free(offer);
  const std::string sdp = PeerSDP::announceVideoTrack(text ? text : "", kStreamID, kTrackID);
  g_free(text);

  GstSDPMessage* message = nullptr;
  if (gst_sdp_message_new_from_text(sdp.c_str(), &message) != GST_SDP_OK) {
    Log::error("desktop peer: rewritten offer did not parse");
    return;
  }
  {
    MutexLock guard(connection->lock);
    connection->mids = PeerSDP::mids(sdp);
  }
  GstWebRTCSessionDescription* local = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, message);
  GstPromise* promise = PeerSignals::localDescriptionPromise(shared_from_this(), generation, sdp);
  g_signal_emit_by_name(connection->pipeline->webrtc(), "set-local-description", local, promise);
  gst_promise_unref(promise);
  gst_webrtc_session_description_free(local);
}

void GstWebRTCPeer::handleLocalDescriptionSet(std::uint64_t generation, const std::string& sdp,
                                              const GstStructure* reply) {
  auto connection = current(generation);
  if (!connection) return;
  if (const auto why = promiseError(reply); !why.empty()) {
    Log::error("desktop peer: local offer refused: " + why);
    return;
  }
  callbacks_->call(&Callbacks::onLocalDescription, SessionDescription{SessionDescription::Kind::offer, sdp});
  // Candidates found meanwhile were held back: the far side cannot use them before the
  // offer. Drain until none are left, then let new ones pass straight through.
  for (;;) {
    std::vector<IceCandidate> held;
    {
      MutexLock guard(connection->lock);
      if (connection->heldCandidates.empty()) {
        connection->descriptionDelivered = true;
        return;
      }
      held.swap(connection->heldCandidates);
    }
    for (const auto& candidate : held) callbacks_->call(&Callbacks::onLocalCandidate, candidate);
  }
}

void GstWebRTCPeer::handleLocalCandidate(std::uint64_t generation, unsigned mlineIndex, const char* text) {
  auto connection = current(generation);
  if (!connection || !text || !*text) return;
  IceCandidate candidate;
  candidate.sdpMLineIndex = static_cast<std::int32_t>(mlineIndex);
  candidate.candidate = text;
  {
    MutexLock guard(connection->lock);
    if (mlineIndex < connection->mids.size()) candidate.sdpMid = connection->mids[mlineIndex];
    if (!connection->descriptionDelivered) {
      connection->heldCandidates.push_back(std::move(candidate));
      return;
    }
  }
  callbacks_->call(&Callbacks::onLocalCandidate, candidate);
}

void GstWebRTCPeer::handleIceState(std::uint64_t generation, int state) {
  auto connection = current(generation);
  if (!connection) return;
  const std::string name = stateName(state);
  {
    MutexLock guard(connection->lock);
    if (connection->lastState == name) return;
    connection->lastState = name;
  }
  // The encoder's next keyframe may be seconds away; the receiver needs one now.
  if (name == "connected") connection->pipeline->requestKeyframe();
  // The far end is gone; writes that fail from now on only confirm it.
  if (name == "failed" || name == "closed") connection->pipeline->markClosing();
  callbacks_->call(&Callbacks::onConnectionState, name);
}

// Media can flow once DTLS has keyed SRTP too, which follows ICE. A still screen sends
// nothing by itself, and a receiver that never got a packet never asks for a keyframe,
// so one is sent now.
void GstWebRTCPeer::handleSecured(std::uint64_t generation) {
  if (auto connection = current(generation)) connection->pipeline->requestKeyframe();
}

void GstWebRTCPeer::handleChannelClosed(std::uint64_t generation) {
  // The operator's side closed the input channel: the connection is ending.
  if (auto connection = current(generation)) connection->pipeline->markClosing();
}

void GstWebRTCPeer::handleRemoteChannel(std::uint64_t generation, GstWebRTCDataChannel* channel) {
  auto connection = current(generation);
  if (!connection || !channel) return;
  gchar* label = nullptr;
  g_object_get(channel, "label", &label, nullptr);
  const bool input = label && std::string_view(label) == kChannelLabel;
  g_free(label);
  if (!input) {
    Log::debug("desktop peer: ignoring a remote data channel with another label");
    return;
  }
  gst_object_ref(channel);
  PeerSignals::connectChannel(shared_from_this(), generation, channel);
  MutexLock guard(connection->lock);
  connection->channels.push_back(channel);
  connection->inputChannel = channel;
}

void GstWebRTCPeer::handleMessage(std::uint64_t generation, std::string bytes) {
  if (!current(generation)) return;
  callbacks_->call(&Callbacks::onControlData, bytes);
}

void GstWebRTCPeer::handleRemoteDescriptionReply(std::uint64_t generation, const GstStructure* reply) {
  if (!current(generation)) return;
  if (const auto why = promiseError(reply); !why.empty()) {
    Log::warn("desktop peer: remote description refused: " + why);
  }
}

}  // namespace vela
