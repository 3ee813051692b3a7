#pragma once

// In-test stand-ins for the desktop module's objects, so the session manager can be
// driven step by step: the test completes capture starts, answers consent, fires
// recording durability and reads what each object was asked to do.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/desktop_services.h"
#include "desktop/input/input_injector.h"
#include "support/background_process.h"

namespace vela::testing {

// A value behind its own lock; `with` runs f on it, `get` copies it out.
template <class T>
class Guarded {
 public:
  template <class F>
  auto with(F f) const {
    std::lock_guard lock(mu_);
    return f(value_);
  }
  T get() const {
    return with([](T& v) { return v; });
  }

 private:
  mutable std::mutex mu_;
  mutable T value_{};
};

class FakePeer final : public DesktopPeer {
 public:
  struct State {
    int starts = 0;
    bool closed = false;
    std::vector<SessionDescription> remoteDescriptions;
    std::vector<IceCandidate> remoteCandidates;
    std::vector<std::vector<int>> targetResolutions;  // width, height, fps
    DescriptionCallback onDescription;
    ControlDataCallback onControl;
  };
  State state() const { return state_.get(); }
  void offer(const std::string& sdp) { state().onDescription({SessionDescription::Kind::offer, sdp}); }
  void control(const std::string& bytes) { state().onControl(bytes); }

  void start(const std::vector<IceServer>&) override { on([](State& s) { ++s.starts; }); }
  void renegotiate() override {}
  void setRemoteDescription(const SessionDescription& d) override {
    on([&](State& s) { s.remoteDescriptions.push_back(d); });
  }
  void addRemoteCandidate(const IceCandidate& c) override { on([&](State& s) { s.remoteCandidates.push_back(c); }); }
  void sendControl(const std::string&) override {}
  void setTargetResolution(int w, int h, int fps) override {
    on([&](State& s) { s.targetResolutions.push_back({w, h, fps}); });
  }
  void close() override { on([](State& s) { s.closed = true; }); }
  void setOnLocalDescription(DescriptionCallback cb) override { on([&](State& s) { s.onDescription = cb; }); }
  void setOnLocalCandidate(CandidateCallback) override {}
  void setOnControlData(ControlDataCallback cb) override { on([&](State& s) { s.onControl = cb; }); }
  void setOnConnectionState(ConnectionStateCallback) override {}
  void setOnTargetBitrate(TargetBitrateCallback) override {}
  void setOnKeyframeRequested(KeyframeRequestedCallback) override {}

 private:
  template <class F>
  void on(F f) {
    state_.with([&](State& s) { f(s); });
  }
  Guarded<State> state_;
};

class FakeRecording final : public DesktopRecording {
 public:
  explicit FakeRecording(std::optional<std::string> startError) : startError_(std::move(startError)) {}
  struct State {
    std::optional<std::pair<int, int>> started;
    bool finalized = false;
    std::function<void()> onDurable;
  };
  State state() const { return state_.get(); }
  void fireDurable() { state().onDurable(); }

  void setOnFirstChunkDurable(std::function<void()> cb) override {
    state_.with([&](State& s) { s.onDurable = std::move(cb); });
  }
  Result<void> start(int width, int height) override {
    if (startError_) return fail(*startError_);
    state_.with([&](State& s) { s.started = {width, height}; });
    return {};
  }
  std::int64_t bytesWritten() const override {
    return state_.with([](State& s) -> std::int64_t { return s.started ? 1000 : 0; });
  }
  void finalize(Completion completion) override {
    auto final = state_.with([](State& s) {
      s.finalized = true;
      return s.started ? std::optional(DesktopRecordingFinal{std::string(64, 'a'), 1234, 3.0, "file:///tmp/r.mp4", "fmp4"})
                       : std::nullopt;
    });
    // A thread of its own, as the real writer's completion.
    std::thread([completion = std::move(completion), final] { completion(final); }).detach();
  }

 private:
  const std::optional<std::string> startError_;
  Guarded<State> state_;
};

class FakeVideoInput final : public DesktopVideoInput {
 public:
  bool push(const DesktopVideoFrame&) override { return ++framesPushed, true; }
  // As a screen too large to encode whole: sent at half its size.
  Size sentSize(Size captured) const override { return {captured.width / 2, captured.height / 2}; }
  std::atomic<int> framesPushed{0};
};

class FakeIndicator final : public DesktopIndicating {
 public:
  void show(const std::string& text, const std::string&, Shown onScreen) override {
    {
      std::lock_guard lock(mu_);
      shownText = text;
      shown = canShow;
    }
    if (onScreen) onScreen(canShow);
  }
  void hide() override {
    std::lock_guard lock(mu_);
    shown = false;
  }
  void setOnEndRequested(EndRequested callback) override {
    std::lock_guard lock(mu_);
    onEnd = std::move(callback);
  }
  // The person at the screen presses "Beenden".
  void pressEnd() {
    EndRequested end;
    {
      std::lock_guard lock(mu_);
      end = onEnd;
    }
    end();
  }
  std::mutex mu_;
  EndRequested onEnd;
  std::optional<std::string> shownText;
  bool shown = false;
  std::atomic<bool> canShow{true};
};

class FakeConsent final : public DesktopConsenting {
 public:
  void request(std::chrono::milliseconds, const std::string&, const std::string&, const std::string&, bool,
               Completion completion) override {
    pending_.with([&](Completion& p) { p = std::move(completion); });
  }
  // Waits for the dialog, then answers it.
  void answer(bool accepted) {
    Completion completion;
    BackgroundProcess::waitUntil([&] {
      completion = pending_.with([](Completion& p) { return std::exchange(p, nullptr); });
      return bool(completion);
    });
    if (completion) completion(accepted);
  }
  bool asked() const {
    return pending_.with([](Completion& p) { return bool(p); });
  }

 private:
  Guarded<Completion> pending_;
};

class FakeCapturer final : public ScreenCapturer {
 public:
  FakeCapturer(Result<Size, CaptureError> startResult, bool asksPerson)
      : startResult_(std::move(startResult)), asksPerson_(asksPerson) {}
  void setOnFrame(FrameHandler h) override { onFrame_ = std::move(h); }
  void setOnStopped(StopHandler h) override { onStopped_ = std::move(h); }
  void start(std::optional<std::uint32_t>, StartCompletion completion) override {
    started = true;
    completion(startResult_);
  }
  bool asksPersonOnStart() const override { return asksPerson_; }
  void stop() override { stopped = true; }
  void refresh() override { ++refreshes; }
  void deliverFrame() {
    static const std::uint8_t pixels[16] = {};
    if (!stopped) onFrame_(PixelBuffer{2, 2, 8, pixels, 1, nullptr}, MediaTime{0});
  }
  void vanish() { onStopped_(AgentError("display closed")); }

  std::atomic<bool> started{false};
  std::atomic<bool> stopped{false};
  std::atomic<int> refreshes{0};

 private:
  const Result<Size, CaptureError> startResult_;
  const bool asksPerson_;
  FrameHandler onFrame_;
  StopHandler onStopped_;
};

class FakeInjector final : public InputInjector {
 public:
  using Log = Guarded<std::vector<std::pair<std::string, Point>>>;
  FakeInjector(std::shared_ptr<Log> log, std::string drops) : log_(std::move(log)), drops_(std::move(drops)) {}
  void mouseMove(Point to) override { record("move", to); }
  void mouseDown(Point at, Button) override { record("down", at); }
  void mouseUp(Point at, Button) override { record("up", at); }
  void mouseDrag(Point to, Button) override { record("drag", to); }
  void scroll(std::int32_t, std::int32_t) override {}
  void keyDown(std::uint16_t, Modifiers) override {}
  void keyUp(std::uint16_t, Modifiers) override {}
  std::string dropsInput() override { return drops_; }

 private:
  void record(const char* what, Point p) {
    log_->with([&](auto& events) { events.emplace_back(what, p); });
  }
  std::shared_ptr<Log> log_;
  const std::string drops_;
};

// The module's services for a test; it remembers every object it made, in session order.
class FakeBackend final : public DesktopScreen, public DesktopMedia, public DesktopWindows {
 public:
  const DesktopServices services{this, this, this, nullptr, "fake"};

  Result<ScreenCapturer::Size, CaptureError> captureResult = ScreenCapturer::Size{1280, 720};
  std::optional<std::string> recordingError;
  bool withConsent = true;
  bool withIndicator = true;
  bool asksPerson = false;              // the capture shows a dialog of the desktop's own
  std::string refusesUnattendedWith;    // why unattended sessions cannot run here
  std::string dropsInputWith;           // why the desktop refuses the operator's input

  std::vector<std::shared_ptr<FakePeer>> peers;
  std::vector<std::shared_ptr<FakeRecording>> recordings;
  std::vector<std::shared_ptr<FakeVideoInput>> videos;
  std::vector<std::shared_ptr<FakeCapturer>> capturers;
  const std::shared_ptr<FakeIndicator> indicatorObject = std::make_shared<FakeIndicator>();
  const std::shared_ptr<FakeConsent> consentObject = std::make_shared<FakeConsent>();
  const std::shared_ptr<FakeInjector::Log> injected = std::make_shared<FakeInjector::Log>();

  ScreenPermissions::Summary permissions() override { return {true, true}; }
  std::vector<Displays::Info> displays() override { return {{7, 1280, 720, true, 100, 50}}; }
  std::shared_ptr<ScreenCapturer> makeCapturer(ScreenCapturer::Config) override {
    capturers.push_back(std::make_shared<FakeCapturer>(captureResult, asksPerson));
    return capturers.back();
  }
  Result<std::shared_ptr<DesktopEncodingCheck>, std::string> makeEncodingCheck(int) override {
    return tl::unexpected(std::string("fake"));
  }
  Result<DesktopSessionMedia, std::string> makeSessionMedia(const std::string&) override {
    peers.push_back(std::make_shared<FakePeer>());
    recordings.push_back(std::make_shared<FakeRecording>(recordingError));
    videos.push_back(std::make_shared<FakeVideoInput>());
    return DesktopSessionMedia{peers.back(), recordings.back(), videos.back()};
  }
  std::shared_ptr<DesktopIndicating> indicator() override {
    return withIndicator ? indicatorObject : nullptr;
  }
  std::shared_ptr<DesktopConsenting> consent() override { return withConsent ? consentObject : nullptr; }
  std::unique_ptr<InputInjector> makeInjector(const std::shared_ptr<ScreenCapturer>&) override { return std::make_unique<FakeInjector>(injected, dropsInputWith);
  }
  std::string name() override { return "fake"; }
  std::string refusesUnattended() override { return refusesUnattendedWith; }
  std::shared_ptr<QuickAssistWindows> quickAssist() override { return nullptr; }
  OnboardingWindows* onboarding() override { return nullptr; }
};

}  // namespace vela::testing
