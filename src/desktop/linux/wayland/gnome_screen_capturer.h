#pragma once

// ScreenCapturer under Wayland: a remote-desktop session (mutter's by default, or the
// one its opener makes) records the chosen monitor and its PipeWire stream is read into
// frames. The stream is damage-driven: frames come when the screen changes and not at all
// on a still screen; the configured rate is an upper bound mutter is asked to keep. Five
// frames at most wait for or are held by the consumer; a newer one then waits in their
// stead, so the last picture of a burst is never lost. mutter ending the session, the
// stream failing or changing size, and (in mutter's own sessions) the monitor leaving
// the layout or changing size there end the capture through onStopped, naming why; a
// monitor that only moves does not. The session also carries the input
// (MutterInputInjector). An opener that asks the person at the screen makes start() wait
// for the answer; stop() abandons that wait. Thread-safe; callbacks are set before
// start().

#include <atomic>
#include <memory>
#include <optional>

#include "desktop/linux/wayland/mutter_monitor_watch.h"
#include "desktop/linux/wayland/mutter_remote_session.h"
#include "desktop/linux/wayland/pipewire_frame_source.h"
#include "desktop/screen_capturer.h"
#include "util/mutex.h"
#include "util/serial_queue.h"

namespace vela {

class GnomeScreenCapturer : public ScreenCapturer, public std::enable_shared_from_this<GnomeScreenCapturer> {
 public:
  static constexpr int kQueueDepth = 5;

  static std::shared_ptr<GnomeScreenCapturer> create(Config config);
  static std::shared_ptr<GnomeScreenCapturer> create(Config config, RemoteDesktopSession::Opener opener,
                                                     bool asksPerson);
  ~GnomeScreenCapturer() override;

  void setOnFrame(FrameHandler handler) override { onFrame_ = std::move(handler); }
  void setOnStopped(StopHandler handler) override { onStopped_ = std::move(handler); }
  void start(std::optional<std::uint32_t> displayID, StartCompletion completion) override;
  void stop() override;
  // The stream sends nothing more on a still screen: the newest frame it sent is
  // delivered again, behind any already queued.
  void refresh() override;
  bool asksPersonOnStart() const override { return asksPerson_; }

  // The running session, for input; null before start and after the capture ended.
  std::shared_ptr<RemoteDesktopSession> session();
  // Records the monitor on `connector` instead of a listed display.
  void startConnectorForTesting(std::string connector, StartCompletion completion);
  std::uint64_t deliveredForTesting() const { return delivered_; }

 private:
  GnomeScreenCapturer(Config config, RemoteDesktopSession::Opener opener, bool asksPerson);

  void open(std::optional<std::uint32_t> displayID, std::optional<std::string> connector, StartCompletion completion);
  void offer(const PixelBuffer& frame);
  void deliver(const PixelBuffer& frame);
  void finish(const AgentError& error);
  void closedByDesktop(const std::string& why);
  // Follows the layout of a monitor mutter's own session records.
  std::shared_ptr<MutterMonitorWatch> watchMonitor(const std::shared_ptr<RemoteDesktopSession>& session);

  const Config config_;
  const RemoteDesktopSession::Opener opener_;
  const bool asksPerson_;
  std::shared_ptr<SerialQueue> sampleQueue_;
  FrameHandler onFrame_;
  StopHandler onStopped_;

  Mutex mu_;
  bool stopping_ GUARDED_BY(mu_) = false;
  bool started_ GUARDED_BY(mu_) = false;
  std::shared_ptr<RemoteDesktopSession> session_ GUARDED_BY(mu_);
  std::shared_ptr<PipeWireFrameSource> source_ GUARDED_BY(mu_);
  std::shared_ptr<MutterMonitorWatch> watch_ GUARDED_BY(mu_);
  std::optional<mutter::Monitor> recorded_ GUARDED_BY(mu_);  // mutter's sessions only
  std::optional<PixelBuffer> waiting_ GUARDED_BY(mu_);  // the newest frame the full queue holds back
  std::optional<PixelBuffer> latest_ GUARDED_BY(mu_);   // the newest frame offered
  int inFlight_ GUARDED_BY(mu_) = 0;

  std::atomic<bool> abandoned_{false};  // stop() began: an open waiting for the person gives up
  std::atomic<bool> delivering_{true};
  std::atomic<bool> finished_{false};
  std::atomic<std::uint64_t> delivered_{0};
};

}  // namespace vela
