#pragma once

// One remote-desktop session of mutter's: the screen cast of one monitor, linked to the
// input of the same session, on a private session-bus connection (SessionSignals'). open() creates and
// starts it and waits for the PipeWire node of its stream. A thread of its own runs the
// connection's signals; the closed handler runs there once when mutter ends the session
// (its Closed signal, mutter leaving the bus, the bus going away) after open() succeeded;
// none begins once close() has.
// Input calls are sent in order without waiting for replies. Thread-safe.

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "desktop/linux/wayland/mutter_bus.h"
#include "desktop/linux/wayland/mutter_monitors.h"
#include "desktop/linux/wayland/remote_desktop_session.h"
#include "desktop/linux/wayland/session_signals.h"
#include "desktop/screen_types.h"
#include "util/mutex.h"

namespace vela {

class MutterRemoteSession final : public RemoteDesktopSession,
                                  public std::enable_shared_from_this<MutterRemoteSession> {
 public:
  enum class CursorMode : std::uint32_t { hidden = 0, embedded = 1, metadata = 2 };

  // Records `displayID` (or the main monitor; an unknown id falls back to the first).
  static Result<std::shared_ptr<MutterRemoteSession>, CaptureError> open(std::optional<std::uint32_t> displayID,
                                                                         CursorMode cursor, ClosedHandler onClosed);
  // Records the monitor on `connector`, which must exist.
  static Result<std::shared_ptr<MutterRemoteSession>, CaptureError> openConnector(const std::string& connector,
                                                                                  CursorMode cursor,
                                                                                  ClosedHandler onClosed);
  // open() as a RemoteDesktopSession::Opener; mutter asks nobody, so it never waits.
  static RemoteDesktopSession::Opener opener();
  ~MutterRemoteSession() override;
  MutterRemoteSession(const MutterRemoteSession&) = delete;
  MutterRemoteSession& operator=(const MutterRemoteSession&) = delete;

  std::uint32_t pipewireNode() const override { return node_; }
  const Displays::Info& display() const override { return stream_; }
  std::string displayName() const override { return monitor_.connector; }
  void streamSized(int width, int height) override {
    stream_.width = width;
    stream_.height = height;
  }
  const mutter::Monitor& monitor() const { return monitor_; }

  void pointerMotion(double x, double y) override;
  void pointerButton(std::int32_t evdevCode, bool pressed) override;
  void pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps) override;
  void keyboardKeycode(std::uint32_t evdevCode, bool pressed) override;
  // Stops the session in mutter; no closed handler runs after it returns.
  void close() override;

 private:
  MutterRemoteSession(std::unique_ptr<SessionSignals> signals, mutter::Monitor monitor, ClosedHandler onClosed);

  Result<void, CaptureError> start(CursorMode cursor);
  void subscribe();
  void notify(const char* method, GVariant* params);
  void closedByMutter(const std::string& why);

  const std::unique_ptr<SessionSignals> signals_;
  GDBusConnection* const bus_;  // the signals'
  const mutter::Monitor monitor_;
  Displays::Info stream_;  // the monitor's place, and its stream's size once negotiated
  const ClosedHandler onClosed_;
  std::string sessionPath_;
  std::string streamPath_;
  std::uint32_t node_ = 0;

  Mutex mu_;
  CondVar changed_;
  std::optional<std::uint32_t> announcedNode_ GUARDED_BY(mu_);
  bool ended_ GUARDED_BY(mu_) = false;    // closed by either side
  bool running_ GUARDED_BY(mu_) = false;  // open() succeeded: closing is news to the capture
};

}  // namespace vela
