#include "desktop/desktop_session_controller.h"

#include <cstdio>
#include <ctime>

#include "desktop/input/resolution_request.h"
#include "platform/file_io.h"
#include "util/log.h"

namespace vela {

namespace {

DisplayBounds boundsOf(const std::vector<Displays::Info>& displays,
                       std::optional<std::uint32_t> id) {
  const Displays::Info* chosen = nullptr;
  for (const auto& d : displays) {
    if (id ? d.id == *id : d.isMain) {
      chosen = &d;
      break;
    }
  }
  // The capturer falls back to the first display the same way.
  if (!chosen && !displays.empty()) chosen = &displays.front();
  if (!chosen) return {};
  return {double(chosen->x), double(chosen->y), double(chosen->width), double(chosen->height)};
}

}  // namespace

std::shared_ptr<DesktopSessionController> DesktopSessionController::create(
    Parts parts, DesktopOpenConfig config, std::optional<std::uint32_t> displayID,
    SignalingSend signalingSend, LifecycleHandler lifecycle, Timing timing) {
  std::shared_ptr<DesktopSessionController> controller(
      new DesktopSessionController(std::move(parts), std::move(config), displayID,
                                   std::move(signalingSend), std::move(lifecycle), timing));
  controller->wire();
  return controller;
}

DesktopSessionController::DesktopSessionController(Parts parts, DesktopOpenConfig config,
                                                   std::optional<std::uint32_t> displayID,
                                                   SignalingSend signalingSend,
                                                   LifecycleHandler lifecycle, Timing timing)
    : peer_(std::move(parts.peer)),
      capturer_(std::move(parts.capturer)),
      injector_(std::move(parts.injector)),
      recorder_(std::move(parts.recorder)),
      video_(std::move(parts.video)),
      indicator_(std::move(parts.indicator)),
      consent_(std::move(parts.consent)),
      clipboard_(config.clipboardAllowed ? std::move(parts.clipboard) : nullptr),
      indicatorRequired_(parts.indicatorRequired),
      displays_(std::move(parts.displays)),
      config_(std::move(config)),
      displayID_(displayID),
      signalingSend_(std::move(signalingSend)),
      lifecycle_(std::move(lifecycle)),
      timing_(timing),
      queue_(std::make_shared<SerialQueue>("vela.desktop.session")) {}

DesktopSessionController::~DesktopSessionController() {
  // Only a session dropped without close() gets here still capturing; it must not
  // leave the capture thread or the peer running.
  if (captureRequested_ && !closed_) {
    streaming_->store(false);
    capturer_->stop();
    peer_->close();
    if (indicator_) indicator_->hide();
  }
  queue_.reset();
}

void DesktopSessionController::wire() {
  std::weak_ptr<DesktopSessionController> weak = weak_from_this();
  peer_->setOnLocalDescription([weak](const SessionDescription& description) {
    if (auto self = weak.lock()) self->signalingSend_(SignalingMessage{description});
  });
  peer_->setOnLocalCandidate([weak](const IceCandidate& candidate) {
    if (auto self = weak.lock()) self->signalingSend_(SignalingMessage{candidate});
  });
  peer_->setOnConnectionState(
      [](const std::string& state) { Log::info("desktop peer: " + state); });
  peer_->setOnControlData([weak](const std::string& bytes) {
    if (auto self = weak.lock()) self->handleControl(bytes);
  });
  recorder_->setOnFirstChunkDurable([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->queue_->async([weak] {
      if (auto s = weak.lock()) s->recordingDurable();
    });
  });
  if (indicator_) {
    indicator_->setOnEndRequested([weak] {
      auto self = weak.lock();
      if (!self) return;
      self->queue_->async([weak] {
        if (auto s = weak.lock()) s->endedAtScreen();
      });
    });
  }
  capturer_->setOnStopped([weak](const std::optional<AgentError>&) {
    auto self = weak.lock();
    if (!self) return;
    self->queue_->async([weak] {
      if (auto s = weak.lock()) s->tearDown("capture_stopped", true);
    });
  });
  // The capture thread touches only the encoder's input, which is thread-safe; it holds
  // that rather than the session.
  capturer_->setOnFrame([video = video_, streaming = streaming_](const PixelBuffer& frame, MediaTime pts) {
    if (!streaming->load()) return;
    video->push(DesktopVideoFrame{std::shared_ptr<const std::uint8_t>(frame.owner, frame.data), frame.width,
                                  frame.height, frame.stride, pts});
  });
}

void DesktopSessionController::open() {
  auto bounds = boundsOf(displays_ ? displays_() : std::vector<Displays::Info>{}, displayID_);
  {
    MutexLock guard(lock_);
    displayBounds_ = bounds;
  }
  captureRequested_ = true;
  // A capture that asks the person itself comes after our own consent: its dialog is
  // the desktop's, and says nothing of who asks or whether it is recorded.
  if (capturer_->asksPersonOnStart() && consentNeeded()) {
    queue_->async([weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self || self->closed_) return;
      self->askConsent([weak] {
        if (auto s = weak.lock()) s->startCapture();
      });
    });
    return;
  }
  startCapture();
}

bool DesktopSessionController::consentNeeded() const {
  return config_.consentRequired && config_.mode == "attended";
}

void DesktopSessionController::startCapture() {
  std::weak_ptr<DesktopSessionController> weak = weak_from_this();
  capturer_->start(displayID_, [weak](Result<ScreenCapturer::Size, CaptureError> result) {
    auto self = weak.lock();
    if (!self) return;
    self->queue_->async([weak, result = std::move(result)] {
      if (auto s = weak.lock()) s->captureStarted(result);
    });
  });
}

void DesktopSessionController::close(std::string reason, bool selfInitiated) {
  // Strong: a session the manager has already let go of must still tear down.
  queue_->async([self = shared_from_this(), reason = std::move(reason), selfInitiated] {
    self->tearDown(reason, selfInitiated);
  });
}

void DesktopSessionController::renegotiate() {
  queue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->closed_) return;
    Log::info("desktop: operator rejoined — renegotiating (fresh offer)");
    self->peer_->renegotiate();
  });
}

void DesktopSessionController::captureStarted(Result<ScreenCapturer::Size, CaptureError> result) {
  if (closed_) return;
  if (!result) {
    emit(DesktopLifecycle::Error{"capture failed: " + result.error().description()});
    tearDown("capture_failed", true);
    return;
  }
  ScreenCapturer::Size size = *result;
  {
    // A backend that knows its monitors only once it records (the portal) gives input
    // the stream's own coordinates.
    MutexLock guard(lock_);
    if (displayBounds_.width <= 0 || displayBounds_.height <= 0)
      displayBounds_ = {0, 0, double(size.width), double(size.height)};
  }
  if (!consentNeeded() || consentAnswered_) {
    showIndicator(size);
    return;
  }
  std::weak_ptr<DesktopSessionController> weak = weak_from_this();
  askConsent([weak, size] {
    if (auto self = weak.lock()) self->showIndicator(size);
  });
}

void DesktopSessionController::askConsent(std::function<void()> onAccepted) {
  if (!consent_) {
    refuse(kNoConsentReason, "consent required but there is no window system to ask the person at the screen");
    return;
  }
  std::weak_ptr<DesktopSessionController> weak = weak_from_this();
  auto answered = [weak, onAccepted](bool accepted) {
    if (auto self = weak.lock()) self->consentAnswered(accepted, onAccepted);
  };
  consent_->request(timing_.consentTimeout, config_.operatorName.value_or(""),
                    config_.brandName.value_or(""), config_.brandLogoBase64.value_or(""),
                    config_.recordingRequired, [weak, answered](bool accepted) {
                      if (auto self = weak.lock()) self->queue_->async([answered, accepted] { answered(accepted); });
                    });
  // A dialog that never ran (the window system went away) answers nothing: the person
  // could not be asked.
  queue_->after(timing_.consentTimeout + timing_.windowGrace, [weak] {
    auto self = weak.lock();
    if (!self || self->closed_ || self->consentAnswered_) return;
    self->consentAnswered_ = true;
    self->refuse(kNoConsentReason, "consent required but the consent dialog could not be shown");
  });
}

void DesktopSessionController::consentAnswered(bool accepted, const std::function<void()>& onAccepted) {
  if (closed_ || consentAnswered_) return;
  consentAnswered_ = true;
  if (!accepted) {
    Log::info("desktop: endpoint user declined consent");
    emit(DesktopLifecycle::ConsentDeclined{});
    tearDown("consent_declined", true);
    return;
  }
  Log::info("desktop: endpoint user accepted the session");
  onAccepted();
}

void DesktopSessionController::showIndicator(ScreenCapturer::Size size) {
  const bool required = indicatorRequired_ && config_.mode == "attended";
  if (!indicator_) {
    if (required) {
      refuse(kNoIndicatorReason, "the session must be shown on screen but there is no window system to show it");
      return;
    }
    startStreaming(size, false);
    return;
  }
  std::weak_ptr<DesktopSessionController> weak = weak_from_this();
  auto shown = [weak, size](bool onScreen) {
    if (auto self = weak.lock()) self->indicatorAnswered(onScreen, size);
  };
  indicator_->show(config_.indicatorText, config_.brandLogoBase64.value_or(""),
                   [weak, shown](bool onScreen) {
                     if (auto self = weak.lock()) self->queue_->async([shown, onScreen] { shown(onScreen); });
                   });
  queue_->after(timing_.windowGrace, [shown] { shown(false); });
}

void DesktopSessionController::indicatorAnswered(bool onScreen, ScreenCapturer::Size size) {
  if (closed_ || indicatorAnswered_) return;
  indicatorAnswered_ = true;
  if (!onScreen) {
    if (indicatorRequired_ && config_.mode == "attended") {
      refuse(kNoIndicatorReason, "the session must be shown on screen but the banner could not be shown");
      return;
    }
    Log::warn("desktop: the banner could not be shown; streaming without it");
  }
  startStreaming(size, onScreen);
}

void DesktopSessionController::refuse(const char* reason, const std::string& message) {
  Log::warn("desktop: session refused: " + message);
  emit(DesktopLifecycle::Error{message});
  tearDown(reason, true);
}

void DesktopSessionController::endedAtScreen() {
  if (closed_) return;
  const uid_t uid = platform::effectiveUser();
  const std::string name = platform::userNameOf(uid);
  Log::info("desktop: the person at the screen (" + (name.empty() ? std::string() : name + ", ") + "uid " +
            std::to_string(uid) + ") ended the session");
  tearDown(kEndedByUserReason, true);
}

void DesktopSessionController::startStreaming(ScreenCapturer::Size size, bool bannerShown) {
  if (auto started = recorder_->start(size.width, size.height); !started) {
    emit(DesktopLifecycle::Error{"recording sink failed: " + started.error().message});
    tearDown("recording_failed", true);
    return;
  }
  bannerShown_ = bannerShown;
  streaming_->store(true);
  // The frames so far were dropped and a still screen sends no more: the encoder and
  // the recording need the picture as it is now.
  capturer_->refresh();
  Log::info("desktop " + std::to_string(size.width) + "x" + std::to_string(size.height) +
            ": recorder open, indicator " + (bannerShown ? "up" : "not shown") + ", offering");
  peer_->start(config_.iceServers);
  startClipboard();
  if (size.width < 1 || size.height < 1) size = {kFallbackWidth, kFallbackHeight};
  const auto sent = video_->sentSize({size.width, size.height});
  sentSize_ = VideoSize{sent.width, sent.height};
  peer_->setTargetResolution(sent.width, sent.height, kFps);
}

void DesktopSessionController::recordingDurable() {
  if (closed_ || opened_) return;
  opened_ = true;
  std::optional<IndicatorAck> ack;
  if (bannerShown_) ack = IndicatorAck{static_cast<std::int64_t>(std::time(nullptr)), textVersion(config_.indicatorText)};
  emit(DesktopLifecycle::Opened{ack, {config_.monitor}, sentSize_});
  beat();
  std::weak_ptr<DesktopSessionController> weak = weak_from_this();
  auto timer = queue_->every(timing_.beatInterval, [weak] {
    if (auto self = weak.lock()) self->beat();
  });
  MutexLock guard(lock_);
  beatTimer_ = timer;
}

void DesktopSessionController::beat() {
  if (closed_) return;
  ++beatSeq_;
  emit(DesktopLifecycle::RecordingBeat{beatSeq_, recorder_->bytesWritten()});
}

void DesktopSessionController::handleControl(const std::string& bytes) {
  // The browser is not trusted: a flood of messages must not queue without bound.
  if (pendingControl_.fetch_add(1) >= kMaxPendingControl) {
    pendingControl_.fetch_sub(1);
    return;
  }
  queue_->async([weak = weak_from_this(), bytes] {
    auto self = weak.lock();
    if (!self) return;
    self->pendingControl_.fetch_sub(1);
    self->applyControl(bytes);
  });
}

void DesktopSessionController::applyControl(const std::string& bytes) {
  if (closed_) return;
  if (applyClipboard(bytes)) return;
  if (auto request = ResolutionRequest::decode(bytes)) {
    peer_->setTargetResolution(request->width, request->height, request->fps);
    return;
  }
  auto event = InputEvent::decode(bytes);
  if (!event) return;
  const std::string dropped = injector_ ? injector_->dropsInput() : "this process cannot inject input";
  if (!dropped.empty()) {
    // Once: the operator should know why their input does nothing, not hear it per event.
    if (!toldInputDropped_) {
      Log::warn("desktop: operator input is dropped: " + dropped);
      emit(DesktopLifecycle::Error{"operator input is dropped: " + dropped});
    }
    toldInputDropped_ = true;
    return;
  }
  DisplayBounds bounds;
  {
    MutexLock guard(lock_);
    bounds = displayBounds_;
  }
  event->apply(*injector_, bounds);
}

void DesktopSessionController::tearDown(const std::string& reason, bool selfInitiated) {
  if (closed_) return;
  closed_ = true;
  std::optional<SerialQueue::TimerID> timer;
  {
    MutexLock guard(lock_);
    timer = std::exchange(beatTimer_, std::nullopt);
  }
  if (timer) queue_->cancel(*timer);
  streaming_->store(false);
  capturer_->stop();
  if (clipboard_) clipboard_->stop();
  peer_->close();
  if (indicator_) indicator_->hide();
  // Strong until the recording is final: the final record and `closed` must go out even
  // when nobody else holds the session any more.
  recorder_->finalize([self = shared_from_this(), reason,
                       selfInitiated](std::optional<DesktopRecordingFinal> final) {
    self->queue_->async([self, final = std::move(final), reason, selfInitiated] {
      if (final) self->emit(DesktopLifecycle::RecordingFinal{*final});
      self->emit(DesktopLifecycle::Closed{reason, selfInitiated});
    });
  });
}

void DesktopSessionController::emit(DesktopLifecycle::Event event) {
  if (lifecycle_) lifecycle_(DesktopLifecycle{std::move(event)});
}

std::string DesktopSessionController::textVersion(const std::string& indicatorText) {
  std::uint32_t hash = 2166136261u;
  for (unsigned char c : indicatorText) {
    hash ^= c;
    hash *= 16777619u;
  }
  char text[16];
  std::snprintf(text, sizeof text, "v1-%08x", hash);
  return text;
}

}  // namespace vela
