#include "desktop/linux/webrtc/gst_webrtc_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "desktop/linux/media/gst_runtime.h"
#include "desktop/linux/media/shared_encoder.h"
#include "desktop/linux/webrtc/desktop_peer_factory.h"
#include "desktop/linux/webrtc/peer_pipeline.h"
#include "desktop/linux/webrtc/peer_sdp.h"
#include "desktop/linux/webrtc/test_pattern.h"

// The peer on real GStreamer over a session encoder, without a far side; the exchange
// with a browser is browser_test.py's.

namespace vela {
namespace {

// Everything the peer reported, in arrival order.
class Probe {
 public:
  explicit Probe(GstWebRTCPeer& peer) {
    peer.setOnLocalDescription([this](const SessionDescription& d) {
      std::lock_guard guard(lock_);
      offers_.push_back(d.sdp);
    });
    peer.setOnLocalCandidate([this](const IceCandidate& c) {
      std::lock_guard guard(lock_);
      candidates_.push_back({c, offers_.size()});
    });
  }
  std::vector<std::string> offers() { return copy(offers_); }
  std::vector<std::pair<IceCandidate, std::size_t>> candidates() { return copy(candidates_); }

 private:
  template <class T>
  T copy(const T& reported) {
    std::lock_guard guard(lock_);
    return reported;
  }
  std::mutex lock_;
  std::vector<std::string> offers_;
  std::vector<std::pair<IceCandidate, std::size_t>> candidates_;
};

class GstWebRTCPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto ready = SharedEncoder::requireElements();
    if (ready) ready = GstRuntime::requireElements(DesktopPeerFactory::kElements);
    ASSERT_TRUE(ready) << ready.error().message;
    auto created = SharedEncoder::create();
    ASSERT_TRUE(created) << created.error().message;
    encoder = *created;
    peer = GstWebRTCPeer::create(encoder);
    probe = std::make_unique<Probe>(*peer);
  }
  void TearDown() override {
    if (peer) peer->close();
  }

  // Pushes frames into the encoder at about 30 fps until `done` holds; an offer needs
  // video caps.
  void pushUntil(const std::function<bool()>& done) {
    while (!done()) {
      encoder->push(nextFrame());
      std::this_thread::sleep_for(std::chrono::milliseconds(33));
    }
  }
  // The next picture, stamped with the time it is pushed, as the capture stamps it.
  DesktopVideoFrame nextFrame() {
    auto frame = pattern.next(++pushed);
    frame.pts = std::chrono::steady_clock::now().time_since_epoch();
    return frame;
  }
  void pushFrames(int count) {
    int pushed = 0;
    pushUntil([&] { return pushed++ >= count; });
  }
  std::string firstOffer() {
    pushUntil([&] { return !probe->offers().empty(); });
    return probe->offers().front();
  }

  testing::TestPattern pattern{320, 240};
  std::uint32_t pushed = 0;
  std::shared_ptr<SharedEncoder> encoder;
  std::shared_ptr<GstWebRTCPeer> peer;
  std::unique_ptr<Probe> probe;
};

TEST_F(GstWebRTCPeerTest, NothingHappensBeforeStart) {
  pushFrames(5);
  peer->sendControl("{\"t\":\"x\"}");
  peer->setRemoteDescription({SessionDescription::Kind::answer, "v=0\r\nm=video 9 X\r\n"});
  peer->addRemoteCandidate({"video0", 0, "candidate:1 1 UDP 1 127.0.0.1 9 typ host"});
  peer->renegotiate();  // without start there is nothing to renegotiate
  EXPECT_EQ(peer->encoderBitrateKbpsForTesting(), std::nullopt);
  EXPECT_TRUE(probe->offers().empty());
}

// The ids the page sees for the track, and that there is one offer only, are the browser test's.
TEST_F(GstWebRTCPeerTest, SendOnlyOfferCarriesVideoAndTheInputChannelAndPrecedesItsCandidates) {
  peer->start({});
  EXPECT_TRUE(peer->hasInputChannelForTesting());
  const auto sdp = firstOffer();
  EXPECT_NE(sdp.find("a=sendonly"), std::string::npos) << sdp;
  EXPECT_EQ(PeerSDP::mids(sdp).size(), 2u);
  pushUntil([&] { return !probe->candidates().empty(); });
  for (const auto& [candidate, offersBefore] : probe->candidates()) {
    EXPECT_EQ(offersBefore, 1u) << "a candidate overtook its offer";
    EXPECT_EQ(candidate.sdpMid, PeerSDP::mids(sdp).at(candidate.sdpMLineIndex));
  }
}

TEST_F(GstWebRTCPeerTest, TargetResolutionRetunesTheSharedEncoderWhichKeepsItsSize) {
  pushFrames(1);  // the captured size fixes the encoder's, as the recording's start does
  peer->start({});
  EXPECT_EQ(peer->encoderBitrateKbpsForTesting(), 2000u);
  peer->setTargetResolution(1920, 1080, 30);
  EXPECT_EQ(encoder->bitrateKbps(), 6220u);
  firstOffer();
  // A smaller target changes the rate only: no caps change, so the encoder keeps going
  // even before ICE connects, and the recording behind it keeps its size.
  peer->setTargetResolution(160, 120, 0);
  EXPECT_EQ(peer->encoderBitrateKbpsForTesting(), 2000u);
  const auto encoded = peer->framesEncodedForTesting();
  pushUntil([&] { return peer->framesEncodedForTesting() > encoded + 5; });
}

// Renegotiating makes exactly one fresh offer and a working connection: the browser
// test's. Here: the ICE servers reach every connection's webrtcbin, not just the first.
TEST_F(GstWebRTCPeerTest, IceServersReachEveryConnection) {
  peer->start({{{"stun:127.0.0.1:3478"}, std::nullopt, std::nullopt},
               {{"turn:127.0.0.1:3478?transport=udp", "ftp:x"}, "op", "secret"}});
  EXPECT_EQ(peer->stunServerForTesting(), "stun://127.0.0.1:3478");
  firstOffer();
  peer->renegotiate();
  EXPECT_EQ(peer->stunServerForTesting(), "stun://127.0.0.1:3478");
}

TEST_F(GstWebRTCPeerTest, HostileSignallingIsIgnored) {
  peer->start({});
  // An answer before the offer exists.
  peer->setRemoteDescription({SessionDescription::Kind::answer, "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\nm=video 9 X 96\r\n"});
  const auto sdp = firstOffer();

  peer->setRemoteDescription({SessionDescription::Kind::answer, "this is not SDP"});
  peer->setRemoteDescription({SessionDescription::Kind::pranswer, std::string(1 << 16, 'v')});
  // SDP in shape, nonsense in content: webrtcbin refuses it, the peer logs the refusal.
  peer->setRemoteDescription({SessionDescription::Kind::answer,
                              "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\nm=audio 9 UDP/TLS/RTP/SAVPF 0\r\n"});

  const std::string host = "candidate:1 1 UDP 2015363327 127.0.0.1 40000 typ host";
  peer->addRemoteCandidate({"no-such-mid", 0, host});
  peer->addRemoteCandidate({std::nullopt, 7, host});
  peer->addRemoteCandidate({std::nullopt, -1, host});
  peer->addRemoteCandidate({"video0", 0, "candidate:"});
  peer->addRemoteCandidate({"video0", 0, host + "\r\na=setup:active"});
  EXPECT_EQ(peer->acceptedCandidatesForTesting(), 0);

  for (int i = 0; i < 10'000; ++i) {
    peer->addRemoteCandidate({"video0", 0, "candidate:" + std::to_string(i) + " 1 UDP 1 127.0.0.1 " +
                                               std::to_string(10'000 + i % 50'000) + " typ host"});
  }
  EXPECT_EQ(peer->acceptedCandidatesForTesting(), 500);

  // Still a working peer afterwards.
  peer->renegotiate();
  pushUntil([&] { return probe->offers().size() == 2; });
  EXPECT_EQ(peer->acceptedCandidatesForTesting(), 0);
}

// Every state a peer reaches without a far side, sends in each of them dropped; the
// browser test closes a connected one. A deadlock shows as the test never finishing.
TEST_F(GstWebRTCPeerTest, CloseReturnsInEveryState) {
  peer->close();  // never started
  peer->close();

  peer->start({});  // started, no frames, no offer; a send before the channel opens is dropped
  peer->sendControl("channel not open yet");
  peer->close();

  peer->renegotiate();  // started again after a close, offer out, candidates gathering
  firstOffer();
  peer->sendControl("still no far side");
  peer->close();
  peer->sendControl("after close");
  EXPECT_FALSE(peer->hasInputChannelForTesting());
  EXPECT_EQ(peer->encoderBitrateKbpsForTesting(), std::nullopt);
  const auto offers = probe->offers().size();
  pushFrames(10);
  EXPECT_EQ(probe->offers().size(), offers) << "a closed peer made an offer";

  // While another thread pushes frames into the encoder as fast as it can.
  peer->renegotiate();
  std::atomic<bool> stop{false};
  std::thread pusher([&] {  // the only feeder until it is joined
    while (!stop) encoder->push(nextFrame());
  });
  while (probe->offers().size() <= offers) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  peer->close();
  stop = true;
  pusher.join();

  // From inside the peer's own callback, on a GStreamer thread.
  std::atomic<bool> closedInCallback{false};
  peer->setOnLocalDescription([&](const SessionDescription&) {
    peer->close();
    closedInCallback = true;
  });
  peer->renegotiate();
  pushUntil([&] { return closedInCallback.load(); });
  EXPECT_EQ(peer->encoderBitrateKbpsForTesting(), std::nullopt);

  // Dropped without close while its tail is still on the encoder.
  peer->renegotiate();
  firstOffer();
  peer.reset();
}

// A transport that cannot write once its far end has gone is how a session ends, the
// operator's close included, and the break may come a moment before the close is known:
// errors from a connection that is closing, or starts to within the grace, are logged as
// information. Errors of a connection that goes on stay errors.
TEST(PeerPipelineTest, ErrorsOfAClosingConnectionAreLoggedAsInformation) {
  ASSERT_TRUE(GstRuntime::requireElements(DesktopPeerFactory::kElements));
  constexpr auto kGrace = std::chrono::milliseconds(200);
  auto postWriteError = [](PeerPipeline& pipeline) {
    GError* error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_WRITE, "Could not write to resource.");
    gst_element_post_message(pipeline.webrtc(), gst_message_new_error(GST_OBJECT(pipeline.webrtc()), error, nullptr));
    g_error_free(error);
  };
  auto encoder = SharedEncoder::create();
  ASSERT_TRUE(encoder) << encoder.error().message;
  auto attach = [&] {
    auto attached = PeerPipeline::attach(*encoder, kGrace);
    EXPECT_TRUE(attached) << attached.error().message;
    return std::move(*attached);
  };
  auto goesOn = attach();
  auto closesSoon = attach();
  auto closed = attach();
  ::testing::internal::CaptureStderr();
  closed->markClosing();
  postWriteError(*closed);
  postWriteError(*goesOn);
  postWriteError(*closesSoon);
  closesSoon->markClosing();
  std::this_thread::sleep_for(kGrace * 3);
  const std::string logged = ::testing::internal::GetCapturedStderr();
  auto count = [&](const std::string& line) {
    std::size_t n = 0;
    for (auto at = logged.find(line); at != std::string::npos; at = logged.find(line, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("] ERROR: desktop peer pipeline: Could not write to resource.\n"), 1u) << logged;
  EXPECT_EQ(count("] INFO: desktop peer pipeline: Could not write to resource.\n"), 2u) << logged;
  for (auto* pipeline : {&goesOn, &closesSoon, &closed}) (*pipeline)->shutdown();
}

}  // namespace
}  // namespace vela
