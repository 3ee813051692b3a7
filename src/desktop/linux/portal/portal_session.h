#pragma once

// One remote-desktop session through the desktop portal: keyboard and pointer plus the
// screen cast of one monitor, which the person at the screen grants in the desktop's
// own dialog. open() makes the calls in order, each answered through a Request's
// Response signal, and waits for the person; it gives up when the opener is abandoned
// or nobody answers in time. The stream is read over the PipeWire connection the
// portal hands out. A thread of its own runs the connection's signals once the session
// is open; the closed handler runs there once when the portal closes the session or
// leaves the bus; none begins once close() has. Input is sent from a queue of its own,
// each call waiting for its reply, which keeps it in order; a backlog behind a slow
// portal is bounded. Thread-safe.

#include <gio/gio.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "desktop/linux/portal/portal_reply.h"
#include "desktop/linux/wayland/mutter_bus.h"
#include "desktop/linux/wayland/remote_desktop_session.h"
#include "desktop/linux/wayland/session_signals.h"
#include "util/mutex.h"
#include "util/serial_queue.h"

namespace vela {

class PortalRemoteSession final : public RemoteDesktopSession,
                                  public std::enable_shared_from_this<PortalRemoteSession> {
 public:
  // How long the person may take over the dialog.
  static constexpr auto kAnswerTimeout = std::chrono::seconds(120);

  static Result<std::shared_ptr<RemoteDesktopSession>, CaptureError> open(
      bool showsCursor, ClosedHandler onClosed, std::function<bool()> abandoned,
      std::chrono::milliseconds answerTimeout = kAnswerTimeout);
  static RemoteDesktopSession::Opener opener();
  ~PortalRemoteSession() override;
  PortalRemoteSession(const PortalRemoteSession&) = delete;
  PortalRemoteSession& operator=(const PortalRemoteSession&) = delete;

  std::uint32_t pipewireNode() const override { return stream_.node; }
  int pipewireFd() const override { return pipewireFd_; }
  const Displays::Info& display() const override { return stream_.display; }
  std::string displayName() const override { return "of portal stream " + std::to_string(stream_.node); }

  void pointerMotion(double x, double y) override;
  void pointerButton(std::int32_t evdevCode, bool pressed) override;
  void pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) override;
  void keyboardKeycode(std::uint32_t evdevCode, bool pressed) override;
  // The portal gives the stream's size in the layout's units, which fractional scaling
  // makes smaller than the stream.
  void streamSized(int width, int height) override {
    stream_.display.width = width;
    stream_.display.height = height;
  }
  std::string refusesInput() const override { return refusesInput_; }
  void close() override;

 private:
  struct Answer {
    std::uint32_t code = 2;
    mutter::Variant results;
  };

  PortalRemoteSession(std::unique_ptr<SessionSignals> signals, ClosedHandler onClosed,
                      std::function<bool()> abandoned, std::chrono::milliseconds answerTimeout);

  Result<void> start(bool showsCursor);
  // Calls `method` with `options` plus a fresh handle_token and waits for its Response.
  Result<mutter::Variant> request(const char* interface, const char* method, GVariant* leading,
                                  GVariantBuilder* options);
  Result<void> openPipeWire();
  void subscribeSession();
  void notify(const char* method, GVariant* params);
  void send(const char* method, GVariant* params);
  void closedByPortal(const std::string& why);
  void onSignal(const std::string& path, const std::string& interface, const std::string& signal, GVariant* params);

  const std::unique_ptr<SessionSignals> signals_;
  GDBusConnection* const bus_;  // the signals'
  const ClosedHandler onClosed_;
  const std::function<bool()> abandoned_;
  const std::chrono::milliseconds answerTimeout_;
  SerialQueue inputQueue_{"vela.portal.input"};
  std::string sessionPath_;
  portal::Stream stream_;
  int pipewireFd_ = -1;
  std::string refusesInput_;
  unsigned requests_ = 0;

  Mutex mu_;
  std::string awaitedPath_ GUARDED_BY(mu_);
  std::optional<Answer> answer_ GUARDED_BY(mu_);
  bool ended_ GUARDED_BY(mu_) = false;    // closed by either side
  std::string endedWhy_ GUARDED_BY(mu_);  // the portal's side of it
  bool portalGone_ GUARDED_BY(mu_) = false;
  int pendingInput_ GUARDED_BY(mu_) = 0;
  bool stalled_ GUARDED_BY(mu_) = false;  // a call timed out: drop the backlog behind it
  bool warnedBacklog_ GUARDED_BY(mu_) = false;
  bool running_ GUARDED_BY(mu_) = false;  // open() succeeded: closing is news to the capture
};

}  // namespace vela
