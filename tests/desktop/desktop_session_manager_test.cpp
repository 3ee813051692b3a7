#include "desktop/desktop_session_manager.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "desktop/desktop_session_fakes.h"
#include "support/background_process.h"
#include "support/temp_dir.h"
#include "util/base64.h"
#include "util/json_scanner.h"

namespace vela {
namespace {

using namespace std::chrono_literals;
using testing::FakeBackend;

// One outgoing frame, with the Base64 document in `data` decoded.
struct Sent {
  std::string type;
  std::string session;
  std::string text;
  JSONValue inner;
};

void until(const std::function<bool()>& done) { testing::BackgroundProcess::waitUntil(done); }

class FrameSink {
 public:
  void operator()(const std::string& text) {
    auto frame = JSONScanner::parse(text).value();
    Sent sent{frame["type"]->stringValue().value(), frame["session_id"]->stringValue().value(), text, JSONValue()};
    if (auto* data = frame["data"]) {
      sent.inner = JSONScanner::parse(toString(Base64::decode(data->stringValue().value()).value())).value();
    }
    std::lock_guard lock(mu_);
    frames_.push_back(std::move(sent));
  }
  std::vector<Sent> await(size_t count) {
    until([&] { return now().size() >= count; });
    return now();
  }
  std::vector<Sent> now() {
    std::lock_guard lock(mu_);
    return frames_;
  }

 private:
  std::mutex mu_;
  std::vector<Sent> frames_;
};

std::vector<std::string> typesOf(const std::vector<Sent>& frames) {
  std::vector<std::string> types;
  for (const auto& f : frames) types.push_back(f.type);
  return types;
}

std::string dataFrame(const std::string& id, const std::string& inner,
                      const std::string& type = "open") {
  return R"({"type":"desktop.)" + type + R"(","session_id":")" + id + R"(","data":")" +
         Base64::encode(inner) + R"("})";
}
const std::string kAttended = R"({"mode":"attended","consent":true,"operator":"Ops"})";
const std::string kUnattended = R"({"mode":"unattended","consent":true,"mon":2})";
const std::string kAttendedNoPrompt = R"({"mode":"attended","consent":false})";

class DesktopSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DesktopSessionManager::Options options;
    options.timing.beatInterval = 20ms;
    options.recordings = RecordingPlace{recordings_.path(), {}};
    manager_ = DesktopSessionManager::create(
        [this](const std::string& t) { sink_(t); },
        [this] { return &backend_.services; }, options);
  }
  void TearDown() override {
    manager_->killAll();
    // Closing sessions keep themselves alive until their recording is final; they must
    // be gone before the sink and the fakes are.
    while (!allSessionsGone()) std::this_thread::sleep_for(5ms);
    manager_.reset();
  }
  bool allSessionsGone() {
    return std::ranges::all_of(backend_.capturers, [](auto& c) { return c.use_count() == 1; });
  }
  void feed(const std::string& text) {
    if (auto frame = IncomingDesktopFrame::parse(text)) manager_->handle(*frame);
  }
  // Drains the session queues by waiting until an ended session has left the map.
  void awaitInactive(int expected) {
    until([&] { return manager_->activeCount() == expected; });
  }

  testing::TempDir recordings_;
  FakeBackend backend_;
  FrameSink sink_;
  std::shared_ptr<DesktopSessionManager> manager_;
};

TEST_F(DesktopSessionTest, AttendedSessionStreamsOnlyAfterConsentThenOpensBeatsAndClosesQuietly) {
  feed(dataFrame("s1", kAttended));
  backend_.capturers[0]->deliverFrame();  // before the answer
  backend_.consentObject->answer(true);
  auto& peer = *backend_.peers[0];
  auto& recording = *backend_.recordings[0];
  until([&] { return peer.state().starts > 0; });
  EXPECT_EQ(recording.state().started, (std::pair{1280, 720}));
  // The peer's rate is for the picture as sent, which the opened frame states.
  EXPECT_EQ(peer.state().targetResolutions, (std::vector<std::vector<int>>{{640, 360, 30}}));
  EXPECT_EQ(backend_.indicatorObject->shownText, "Fernzugriff aktiv · Aufzeichnung läuft");

  // The frame before the answer was dropped; a still screen would send no other, so the
  // capture is asked for the picture as it is.
  EXPECT_EQ(backend_.capturers[0]->refreshes.load(), 1);
  backend_.capturers[0]->deliverFrame();
  EXPECT_EQ(backend_.videos[0]->framesPushed, 1) << "one push: the recording and the peer are behind the encoder";

  peer.offer("v=0 offer");
  feed(dataFrame("s1", R"({"kind":"answer","sdp":"v=0 answer"})", "signal"));
  feed(dataFrame("s1", R"({"kind":"ice","candidate":{"candidate":"c1","sdpMid":"0"}})", "signal"));
  EXPECT_EQ(peer.state().remoteDescriptions,
            (std::vector<SessionDescription>{{SessionDescription::Kind::answer, "v=0 answer"}}));
  ASSERT_EQ(peer.state().remoteCandidates.size(), 1u);
  EXPECT_EQ(peer.state().remoteCandidates[0].candidate, "c1");

  EXPECT_EQ(typesOf(sink_.now()), (std::vector<std::string>{"desktop.signal"}));
  recording.fireDurable();
  recording.fireDurable();  // only the first counts
  auto frames = sink_.await(5);
  ASSERT_GE(frames.size(), 5u);
  // The opened frame's other members and the beats' numbers are the end-to-end test's.
  EXPECT_EQ(frames[1].type, "desktop.opened");
  EXPECT_EQ((*frames[1].inner["video_size"])["width"]->intValue(), 640);
  EXPECT_EQ((*frames[1].inner["video_size"])["height"]->intValue(), 360);
  for (size_t i = 2; i < 5; ++i) {
    EXPECT_EQ(frames[i].type, "desktop.recording");
    EXPECT_EQ(frames[i].inner["bytes"]->intValue(), 1000);
  }

  feed(R"({"type":"desktop.close","session_id":"s1","reason":"operator"})");
  awaitInactive(0);
  frames = sink_.now();
  ASSERT_EQ(frames.back().type, "desktop.recording");
  EXPECT_EQ(frames.back().inner["state"]->stringValue(), "final");  // no beat after it
  EXPECT_TRUE(backend_.capturers[0]->stopped);
  EXPECT_TRUE(peer.state().closed);
  EXPECT_FALSE(backend_.indicatorObject->shown);

  // Nothing more: no beats after the end, signals for the closed session go nowhere.
  size_t count = frames.size();
  feed(dataFrame("s1", R"({"kind":"answer","sdp":"late"})", "signal"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sink_.now().size(), count);
  EXPECT_EQ(peer.state().remoteDescriptions.size(), 1u);
}

// Declined consent records and offers nothing; an unattended session starts at once; a
// zero-size capture offers full HD.
TEST_F(DesktopSessionTest, DeclinedConsentDoesNothingPromptlessSessionsStartAtOnce) {
  feed(dataFrame("s1", kAttended));
  backend_.capturers[0]->deliverFrame();
  backend_.consentObject->answer(false);
  auto frames = sink_.await(2);
  EXPECT_EQ(typesOf(frames), (std::vector<std::string>{"desktop.consent", "desktop.closed"}));
  EXPECT_EQ(frames[0].inner["status"]->stringValue(), "declined");
  EXPECT_EQ(frames[1].text,
            R"({"reason":"consent_declined","session_id":"s1","type":"desktop.closed"})");
  awaitInactive(0);
  EXPECT_FALSE(backend_.recordings[0]->state().started);
  EXPECT_EQ(backend_.videos[0]->framesPushed, 0);
  EXPECT_EQ(backend_.peers[0]->state().starts, 0);
  EXPECT_FALSE(backend_.indicatorObject->shownText);

  backend_.captureResult = ScreenCapturer::Size{0, 0};
  feed(dataFrame("u", kUnattended));
  until([&] { return backend_.peers[1]->state().starts > 0; });
  EXPECT_FALSE(backend_.consentObject->asked());
  EXPECT_EQ(backend_.peers[1]->state().targetResolutions, (std::vector<std::vector<int>>{{960, 540, 30}}));
  backend_.recordings[1]->fireDurable();
  frames = sink_.await(3);
  ASSERT_EQ(frames[2].type, "desktop.opened");
  EXPECT_EQ(frames[2].inner["monitors"]->arrayValue()->size(), 1u);
  EXPECT_EQ(frames[2].inner["monitors"]->arrayValue()->at(0).intValue(), 2);
  EXPECT_EQ(frames[2].inner["consent"]->stringValue(), "accepted");
  EXPECT_TRUE(frames[2].inner["indicator_ack"]);
}

// A capture that asks the person itself (the desktop portal's dialog) starts only after
// our own consent, and never for a declined one; such a backend refuses unattended
// sessions before making anything.
TEST_F(DesktopSessionTest, ABackendThatAsksThePersonComesAfterOurConsentAndRefusesUnattended) {
  backend_.asksPerson = true;
  backend_.refusesUnattendedWith = "unattended sessions cannot run here";
  feed(dataFrame("u", kUnattended));
  auto frames = sink_.await(1);
  EXPECT_EQ(frames[0].text, R"({"message":"unattended sessions cannot run here","session_id":"u",)"
                            R"("type":"desktop.error"})");
  EXPECT_TRUE(backend_.capturers.empty());
  EXPECT_TRUE(backend_.peers.empty());

  feed(dataFrame("declined", kAttended));
  until([&] { return backend_.consentObject->asked(); });
  EXPECT_FALSE(backend_.capturers[0]->started);
  backend_.consentObject->answer(false);
  awaitInactive(0);
  EXPECT_FALSE(backend_.capturers[0]->started);

  feed(dataFrame("s", kAttended));
  until([&] { return backend_.consentObject->asked(); });
  EXPECT_FALSE(backend_.capturers[1]->started);
  backend_.consentObject->answer(true);
  until([&] { return backend_.peers[1]->state().starts > 0; });
  EXPECT_TRUE(backend_.capturers[1]->started);
  EXPECT_FALSE(backend_.consentObject->asked()) << "asked once, not again once the capture started";
  backend_.recordings[1]->fireDurable();
  std::optional<Sent> opened;
  until([&] {
    for (const auto& f : sink_.now()) {
      if (f.type == "desktop.opened") opened = f;
    }
    return opened.has_value();
  });
  ASSERT_TRUE(opened && opened->inner["consent"]);
  EXPECT_EQ(opened->inner["consent"]->stringValue(), "accepted");
}

// Without a window system nobody can be asked or shown the session: an attended session
// that needs either is refused before anything is recorded or offered. An unattended
// one streams, but never claims a banner that is not there.
TEST_F(DesktopSessionTest, AttendedSessionsTheScreenCannotShowAreRefused) {
  struct Case {
    std::string config;
    bool consent, indicator, banner;
    std::string error, reason;
  };
  const Case refused[] = {
      {kAttended, false, true, true,
       "consent required but there is no window system to ask the person at the screen",
       "consent_unavailable"},
      {kAttendedNoPrompt, true, false, true,
       "the session must be shown on screen but there is no window system to show it",
       "indicator_unavailable"},
      {kAttendedNoPrompt, true, true, false,
       "the session must be shown on screen but the banner could not be shown", "indicator_unavailable"},
  };
  std::size_t sent = 0;
  for (std::size_t i = 0; i < std::size(refused); ++i) {
    const Case& c = refused[i];
    SCOPED_TRACE(c.reason);
    backend_.withConsent = c.consent;
    backend_.withIndicator = c.indicator;
    backend_.indicatorObject->canShow = c.banner;
    const std::string id = "r" + std::to_string(i);
    feed(dataFrame(id, c.config));
    backend_.capturers[i]->deliverFrame();
    auto frames = sink_.await(sent + 2);
    EXPECT_EQ(frames[sent].text,
              R"({"message":")" + c.error + R"(","session_id":")" + id + R"(","type":"desktop.error"})");
    EXPECT_EQ(frames[sent + 1].text,
              R"({"reason":")" + c.reason + R"(","session_id":")" + id + R"(","type":"desktop.closed"})");
    sent += 2;
    awaitInactive(0);
    EXPECT_FALSE(backend_.recordings[i]->state().started);
    EXPECT_EQ(backend_.videos[i]->framesPushed, 0);
    EXPECT_EQ(backend_.peers[i]->state().starts, 0);
  }
  EXPECT_FALSE(backend_.consentObject->asked());

  backend_.withIndicator = false;
  feed(dataFrame("u", kUnattended));
  until([&] { return backend_.peers.back()->state().starts > 0; });
  backend_.recordings.back()->fireDurable();
  auto frames = sink_.await(sent + 1);
  ASSERT_EQ(frames[sent].type, "desktop.opened");
  EXPECT_FALSE(frames[sent].inner["indicator_ack"]);
}

TEST_F(DesktopSessionTest, LimitDuplicatesAndStrayFramesAreAnsweredOrIgnored) {
  feed(dataFrame("s1", kAttendedNoPrompt));
  feed(dataFrame("s1", kAttendedNoPrompt));  // in use: ignored, no new media, no reply
  EXPECT_EQ(backend_.peers.size(), 1u);
  feed(dataFrame("s2", kAttendedNoPrompt));
  feed(dataFrame("s3", kAttendedNoPrompt));
  EXPECT_EQ(manager_->activeCount(), 2);
  // Unknown ids and malformed frames: nothing happens.
  feed(R"({"type":"desktop.close","session_id":"nope"})");
  feed(dataFrame("nope", R"({"kind":"answer","sdp":"x"})", "signal"));
  feed(R"({"type":"desktop.signal","session_id":"s1"})");
  feed(R"({"type":"desktop.signal","session_id":"s1","data":42})");
  std::this_thread::sleep_for(50ms);
  auto frames = sink_.now();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(
      frames[0].text,
      R"({"message":"desktop session limit reached","session_id":"s3","type":"desktop.error"})");
  EXPECT_EQ(manager_->activeCount(), 2);
  for (auto& peer : backend_.peers) EXPECT_TRUE(peer->state().remoteDescriptions.empty());
  // A lost connection ends every session locally and without a word, and frees the ids.
  std::atomic<bool> ended{false};
  manager_->killAll([&] { ended = true; });
  until([&] { return ended.load(); });
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(backend_.recordings[i]->state().finalized);
    EXPECT_TRUE(backend_.capturers[i]->stopped);
    EXPECT_TRUE(backend_.peers[i]->state().closed);
  }
  EXPECT_EQ(sink_.now().size(), 1u);
  feed(dataFrame("s1", kAttendedNoPrompt));
  EXPECT_EQ(manager_->activeCount(), 1);
}

// A capture that fails to start is the end-to-end test's (no display); a recording that
// fails must not leave the peer streaming unrecorded.
TEST_F(DesktopSessionTest, AgentSideFailuresReportErrorThenClosed) {
  backend_.recordingError = "recorder: startWriting failed (Permission denied)";
  feed(dataFrame("rec", kAttendedNoPrompt));
  auto frames = sink_.await(2);
  EXPECT_EQ(
      frames[0].text,
      R"j({"message":"recording sink failed: recorder: startWriting failed (Permission denied)","session_id":"rec","type":"desktop.error"})j");
  EXPECT_EQ(frames[1].text,
            R"({"reason":"recording_failed","session_id":"rec","type":"desktop.closed"})");
  EXPECT_EQ(backend_.peers[0]->state().starts, 0);

  backend_.recordingError.reset();
  feed(dataFrame("gone", kAttendedNoPrompt));
  until([&] { return bool(backend_.recordings[1]->state().started); });
  backend_.capturers[1]->vanish();
  frames = sink_.await(4);
  EXPECT_EQ(frames[2].inner["state"]->stringValue(), "final");
  EXPECT_EQ(frames[3].text,
            R"({"reason":"capture_stopped","session_id":"gone","type":"desktop.closed"})");
  awaitInactive(0);
}

// The banner's "Beenden": the session ends as any agent-side end does (recording
// finalised, then the close), with a reason the operator can tell from the others.
TEST_F(DesktopSessionTest, ThePersonAtTheScreenEndsTheSessionAndTheOperatorReadsWhy) {
  feed(dataFrame("mine", kAttendedNoPrompt));
  auto& recording = *backend_.recordings[0];
  until([&] { return bool(recording.state().started); });
  recording.fireDurable();
  sink_.await(2);  // opened, beat 1
  backend_.indicatorObject->pressEnd();
  backend_.indicatorObject->pressEnd();  // a second press while it closes changes nothing
  awaitInactive(0);
  auto frames = sink_.now();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_EQ(frames[frames.size() - 2].inner["state"]->stringValue(), "final");
  EXPECT_EQ(frames.back().text, R"({"reason":"ended_by_user","session_id":"mine","type":"desktop.closed"})");
  EXPECT_EQ(std::ranges::count(typesOf(frames), "desktop.closed"), 1);
  EXPECT_TRUE(backend_.capturers[0]->stopped);
  EXPECT_TRUE(backend_.peers[0]->state().closed);
  EXPECT_FALSE(backend_.indicatorObject->shown);
}

TEST_F(DesktopSessionTest, ControlMessagesResizeOrInjectAgainstTheDisplay) {
  backend_.withConsent = false;
  feed(dataFrame("s1", kUnattended));
  auto& peer = *backend_.peers[0];
  until([&] { return peer.state().starts > 0; });
  peer.control(R"({"t":"res","w":640,"h":480,"fps":15})");
  peer.control(R"({"t":"m","e":"down","x":0.5,"y":0.5,"b":0})");
  peer.control(R"(not json)");
  peer.control(R"({"t":"res","w":0,"h":480})");
  until([&] { return peer.state().targetResolutions.size() >= 2; });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(peer.state().targetResolutions.back(), (std::vector<int>{640, 480, 15}));
  // Display 7 sits at (100, 50), 1280x720.
  const std::pair<std::string, InputInjector::Point> down{"down", {740, 410}};
  EXPECT_THAT(backend_.injected->get(), ::testing::ElementsAre(down));
}

// A desktop that shares the screen but refuses input (the person said so): the
// operator reads why once, and the session goes on.
TEST_F(DesktopSessionTest, InputTheDesktopRefusesIsDroppedAndTheOperatorToldOnce) {
  backend_.withConsent = false;
  backend_.dropsInputWith = "the person at the screen shared the screen without allowing remote interaction";
  feed(dataFrame("view", kUnattended));
  auto& peer = *backend_.peers[0];
  until([&] { return peer.state().starts > 0; });
  peer.control(R"({"t":"m","e":"down","x":0.5,"y":0.5,"b":0})");
  peer.control(R"({"t":"m","e":"up","x":0.5,"y":0.5,"b":0})");
  peer.control(R"({"t":"res","w":640,"h":480,"fps":15})");
  until([&] { return !peer.state().targetResolutions.empty(); });
  auto errors = [&] {
    std::vector<std::string> texts;
    for (const auto& f : sink_.now())
      if (f.type == "desktop.error") texts.push_back(f.text);
    return texts;
  };
  until([&] { return !errors().empty(); });
  EXPECT_THAT(errors(), ::testing::ElementsAre(
                            R"({"message":"operator input is dropped: the person at the screen shared the screen )"
                            R"(without allowing remote interaction","session_id":"view","type":"desktop.error"})"));
  EXPECT_TRUE(backend_.injected->get().empty());
  EXPECT_EQ(std::ranges::count(typesOf(sink_.now()), "desktop.closed"), 0);
  EXPECT_EQ(manager_->activeCount(), 1);
}

}  // namespace
}  // namespace vela
