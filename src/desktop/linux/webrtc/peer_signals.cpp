#include "desktop/linux/webrtc/peer_signals.h"

#include <exception>
#include <utility>

#include "desktop/linux/webrtc/gst_webrtc_peer.h"
#include "util/log.h"

namespace vela {
namespace {

thread_local int callbackDepth = 0;

struct Context {
  std::weak_ptr<GstWebRTCPeer> peer;
  std::uint64_t generation = 0;
  std::string sdp;
};

Context* newContext(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation, std::string sdp = {}) {
  return new Context{peer, generation, std::move(sdp)};
}

void freeContext(gpointer data) { delete static_cast<Context*>(data); }
void freeClosureContext(gpointer data, GClosure*) { freeContext(data); }

template <typename F>
void dispatch(gpointer data, F&& body) {
  const auto* context = static_cast<const Context*>(data);
  auto peer = context->peer.lock();
  if (!peer) return;
  ++callbackDepth;
  try {
    body(*peer, context->generation, *context);
  } catch (const std::exception& e) {
    Log::error(std::string("desktop peer: callback failed: ") + e.what());
  }
  --callbackDepth;
}

// Called from a change function, when the promise has already settled: the wait
// returns at once and only reads the result.
const GstStructure* promiseReply(GstPromise* promise) {
  return gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(promise) : nullptr;
}

}  // namespace

struct PeerTrampolines {
  static void onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer data) {
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) { p.handleLocalCandidate(g, mline, candidate); });
  }
  static void onIceState(GstElement* webrtc, GParamSpec*, gpointer data) {
    GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "ice-connection-state", &state, nullptr);
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) { p.handleIceState(g, state); });
  }
  static void onConnectionState(GstElement* webrtc, GParamSpec*, gpointer data) {
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "connection-state", &state, nullptr);
    if (state != GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) return;
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) { p.handleSecured(g); });
  }
  static void onDataChannel(GstElement*, GstWebRTCDataChannel* channel, gpointer data) {
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) { p.handleRemoteChannel(g, channel); });
  }
  static void onMessageString(GstWebRTCDataChannel*, gchar* text, gpointer data) {
    if (!text) return;
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) { p.handleMessage(g, text); });
  }
  static void onMessageData(GstWebRTCDataChannel*, GBytes* bytes, gpointer data) {
    if (!bytes) return;
    gsize size = 0;
    const auto* raw = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) {
      p.handleMessage(g, std::string(raw ? raw : "", raw ? size : 0));
    });
  }
  static GstPadProbeReturn onSinkEvent(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (event && GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
      GstCaps* caps = nullptr;
      gst_event_parse_caps(event, &caps);
      dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) { p.handleVideoCaps(g, caps); });
    }
    return GST_PAD_PROBE_OK;
  }
  static void onOffer(GstPromise* promise, gpointer data) {
    const GstStructure* reply = promiseReply(promise);
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) { p.handleOfferReply(g, reply); });
  }
  static void onLocalDescription(GstPromise* promise, gpointer data) {
    const GstStructure* reply = promiseReply(promise);
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context& c) { p.handleLocalDescriptionSet(g, c.sdp, reply); });
  }
  static void onRemoteDescription(GstPromise* promise, gpointer data) {
    const GstStructure* reply = promiseReply(promise);
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) { p.handleRemoteDescriptionReply(g, reply); });
  }
  static void onChannelClose(GstWebRTCDataChannel*, gpointer data) {
    dispatch(data, [&](GstWebRTCPeer& p, std::uint64_t g, const Context&) { p.handleChannelClosed(g); });
  }
};

void PeerSignals::connectWebRTC(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation,
                                GstElement* webrtc) {
  auto connect = [&](const char* signal, GCallback callback) {
    g_signal_connect_data(webrtc, signal, callback, newContext(peer, generation), freeClosureContext, GConnectFlags(0));
  };
  connect("on-ice-candidate", G_CALLBACK(PeerTrampolines::onIceCandidate));
  connect("notify::ice-connection-state", G_CALLBACK(PeerTrampolines::onIceState));
  connect("notify::connection-state", G_CALLBACK(PeerTrampolines::onConnectionState));
  connect("on-data-channel", G_CALLBACK(PeerTrampolines::onDataChannel));
  GstIterator* pads = gst_element_iterate_sink_pads(webrtc);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(pads, &item) == GST_ITERATOR_OK) {
    auto* pad = GST_PAD(g_value_get_object(&item));
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, PeerTrampolines::onSinkEvent,
                      newContext(peer, generation), freeContext);
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(pads);
}

void PeerSignals::connectChannel(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation,
                                 GstWebRTCDataChannel* channel) {
  g_signal_connect_data(channel, "on-message-string", G_CALLBACK(PeerTrampolines::onMessageString),
                        newContext(peer, generation), freeClosureContext, GConnectFlags(0));
  g_signal_connect_data(channel, "on-message-data", G_CALLBACK(PeerTrampolines::onMessageData),
                        newContext(peer, generation), freeClosureContext, GConnectFlags(0));
  g_signal_connect_data(channel, "on-close", G_CALLBACK(PeerTrampolines::onChannelClose),
                        newContext(peer, generation), freeClosureContext, GConnectFlags(0));
}

GstPromise* PeerSignals::offerPromise(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation) {
  return gst_promise_new_with_change_func(PeerTrampolines::onOffer, newContext(peer, generation), freeContext);
}

GstPromise* PeerSignals::localDescriptionPromise(const std::shared_ptr<GstWebRTCPeer>& peer, std::uint64_t generation,
                                                 std::string sdp) {
  return gst_promise_new_with_change_func(PeerTrampolines::onLocalDescription,
                                          newContext(peer, generation, std::move(sdp)), freeContext);
}

GstPromise* PeerSignals::remoteDescriptionPromise(const std::shared_ptr<GstWebRTCPeer>& peer,
                                                  std::uint64_t generation) {
  return gst_promise_new_with_change_func(PeerTrampolines::onRemoteDescription, newContext(peer, generation),
                                          freeContext);
}

bool PeerSignals::inCallback() { return callbackDepth > 0; }

}  // namespace vela
