#pragma once

// One remote-desktop session: captures a display, records it locally, shows the
// indicator, asks for consent when the session is attended, offers the screen through
// its WebRTC peer and injects the operator's input. It reports through two callbacks:
// signalling for the peer's offer and candidates (called on the peer's threads) and
// lifecycle events (always on the session queue "vela.desktop.session", so they arrive
// in order and never after `closed`).
//
// Threading: open() runs on the caller's thread until capture has been asked to start;
// every later step, close() and renegotiate() run on the session queue. Frames go from
// the capture thread straight into the session's encoder, behind which the recording
// and the peer take the pictures. A session that is closing keeps itself alive until
// its recording is final, so dropping the last reference right after close() still
// finalises the file.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/input/input_event.h"
#include "desktop/input/input_injector.h"
#include "desktop/screen_capturer.h"
#include "desktop/screen_types.h"
#include "desktop/clipboard_messages.h"
#include "desktop/desktop_clipboard.h"
#include "desktop/desktop_consenting.h"
#include "desktop/desktop_frames.h"
#include "desktop/desktop_indicating.h"
#include "desktop/desktop_lifecycle.h"
#include "desktop/desktop_peer.h"
#include "desktop/desktop_recording.h"
#include "desktop/desktop_video_input.h"
#include "util/serial_queue.h"
#include "util/mutex.h"

namespace vela {

// How often a session beats and how long it waits for consent; tests shorten them.
struct DesktopSessionTiming {
  std::chrono::milliseconds beatInterval{5000};
  std::chrono::milliseconds consentTimeout = kConsentTimeout;
  // How long a window may take to answer beyond its own timeout before the session
  // takes the silence as "not shown".
  std::chrono::milliseconds windowGrace{10000};
};

class DesktopSessionController : public std::enable_shared_from_this<DesktopSessionController> {
 public:
  using SignalingSend = std::function<void(const SignalingMessage&)>;
  using LifecycleHandler = std::function<void(const DesktopLifecycle&)>;
  using DisplayList = std::function<std::vector<Displays::Info>()>;

  static constexpr int kFps = 30;
  static constexpr int kFallbackWidth = 1920;
  static constexpr int kFallbackHeight = 1080;
  // Input events waiting for the session queue; a flood beyond this is dropped.
  static constexpr int kMaxPendingControl = 256;
  // Why an attended session was refused when the person at the screen could not be
  // asked or shown the session.
  static constexpr const char* kNoConsentReason = "consent_unavailable";
  static constexpr const char* kNoIndicatorReason = "indicator_unavailable";

  struct Parts {
    std::shared_ptr<DesktopPeer> peer;
    // REQUIRES: made at kFps with the cursor shown, not started.
    std::shared_ptr<ScreenCapturer> capturer;
    // Null when this process cannot inject: the operator's input is then dropped.
    std::unique_ptr<InputInjector> injector;
    std::shared_ptr<DesktopRecording> recorder;
    // The encoder the recorder and the peer take their pictures from.
    std::shared_ptr<DesktopVideoInput> video;
    std::shared_ptr<DesktopIndicating> indicator;  // optional
    std::shared_ptr<DesktopConsenting> consent;    // optional
    std::shared_ptr<DesktopClipboard> clipboard;   // optional; used when the session allows it
    DisplayList displays;
    // An attended session that cannot show its banner is refused. Cleared by a caller
    // that shows its own banner.
    bool indicatorRequired = true;
  };
  using Timing = DesktopSessionTiming;

  // Wires the parts together; nothing starts before open(). No display id means the
  // main display.
  static std::shared_ptr<DesktopSessionController> create(Parts parts, DesktopOpenConfig config,
                                                          std::optional<std::uint32_t> displayID,
                                                          SignalingSend signalingSend,
                                                          LifecycleHandler lifecycle,
                                                          Timing timing = {});
  ~DesktopSessionController();
  DesktopSessionController(const DesktopSessionController&) = delete;
  DesktopSessionController& operator=(const DesktopSessionController&) = delete;

  void open();
  void close(std::string reason, bool selfInitiated);
  // The attended-support client's answer to an operator who rejoined: one fresh offer.
  void renegotiate();

  // The operator's descriptions and candidates go here directly, not through the queue.
  DesktopPeer& peer() const { return *peer_; }

  // "v1-" + eight lower-case hex digits of the FNV-1a hash of the indicator text.
  static std::string textVersion(const std::string& indicatorText);

 private:
  DesktopSessionController(Parts parts, DesktopOpenConfig config,
                           std::optional<std::uint32_t> displayID, SignalingSend signalingSend,
                           LifecycleHandler lifecycle, Timing timing);
  void wire();
  void handleControl(const std::string& bytes);

  // On queue_.
  bool consentNeeded() const;
  void startCapture();
  void captureStarted(Result<ScreenCapturer::Size, CaptureError> result);
  void askConsent(std::function<void()> onAccepted);
  void consentAnswered(bool accepted, const std::function<void()>& onAccepted);
  void showIndicator(ScreenCapturer::Size size);
  void indicatorAnswered(bool onScreen, ScreenCapturer::Size size);
  void refuse(const char* reason, const std::string& message);
  void endedAtScreen();
  void startStreaming(ScreenCapturer::Size size, bool bannerShown);
  void recordingDurable();
  void beat();
  void applyControl(const std::string& bytes);
  void startClipboard();
  bool applyClipboard(const std::string& bytes);
  void tearDown(const std::string& reason, bool selfInitiated);
  void emit(DesktopLifecycle::Event event);

  const std::shared_ptr<DesktopPeer> peer_;
  const std::shared_ptr<ScreenCapturer> capturer_;
  const std::unique_ptr<InputInjector> injector_;  // used on queue_ only
  const std::shared_ptr<DesktopRecording> recorder_;
  const std::shared_ptr<DesktopVideoInput> video_;
  const std::shared_ptr<DesktopIndicating> indicator_;
  const std::shared_ptr<DesktopConsenting> consent_;
  const std::shared_ptr<DesktopClipboard> clipboard_;
  const bool indicatorRequired_;
  const DisplayList displays_;
  const DesktopOpenConfig config_;
  const std::optional<std::uint32_t> displayID_;
  const SignalingSend signalingSend_;
  const LifecycleHandler lifecycle_;
  const Timing timing_;
  std::shared_ptr<SerialQueue> queue_;

  // Frames reach the encoder only while this is set: nothing is recorded or offered
  // before consent, nor after tear-down began.
  const std::shared_ptr<std::atomic<bool>> streaming_ = std::make_shared<std::atomic<bool>>(false);
  std::atomic<int> pendingControl_{0};

  Mutex lock_;
  std::optional<SerialQueue::TimerID> beatTimer_ GUARDED_BY(lock_);
  DisplayBounds displayBounds_ GUARDED_BY(lock_);

  // On queue_.
  std::int64_t beatSeq_ = 0;
  bool opened_ = false;
  bool closed_ = false;
  bool toldInputDropped_ = false;
  ClipboardAssembler clipboardIn_;
  std::uint64_t clipboardOut_ = 0;
  bool consentAnswered_ = false;
  bool indicatorAnswered_ = false;
  bool bannerShown_ = false;
  std::optional<VideoSize> sentSize_;
  // Set by open() before capture can report anything to queue_.
  bool captureRequested_ = false;
};

}  // namespace vela
