#pragma once

// A private session-bus connection and its D-Bus signals, delivered on a GLib main
// context of their own: whatever is subscribed through it delivers there, as does the
// connection's own closing (GDBus tells that on the context the connection was made
// on), and its thread runs that context once started (before, the opening thread may
// iterate it itself). It also tells once when the desktop's service leaves the bus or
// the connection closes, the two ways a desktop goes without closing its session.
// Handlers are owned here until unsubscribe(); they should hold their owner weakly.
// Not thread-safe: its owner subscribes, starts and unsubscribes from one thread.

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "desktop/linux/wayland/mutter_bus.h"

namespace vela {

class SessionSignals {
 public:
  using Handler =
      std::function<void(const std::string& path, const std::string& interface, const std::string& signal,
                         GVariant* params)>;
  using Departed = std::function<void(const std::string& why)>;

  static Result<std::unique_ptr<SessionSignals>> open(const char* threadName);
  // Unsubscribes and ends the thread; run on the thread itself (the last owner let go
  // in one of its callbacks), the thread is left to end on its own.
  ~SessionSignals();
  SessionSignals(const SessionSignals&) = delete;
  SessionSignals& operator=(const SessionSignals&) = delete;

  // `signal` (any when null) of `interface` (any when null) from `sender` on `path`
  // (any when null).
  void subscribe(const char* sender, const char* interface, const char* signal, const char* path, Handler handler);
  // `departed` gets `whenServiceLeaves` when `service` loses its owner, or a reason of
  // its own when the connection closes.
  void watchDeparture(const char* service, std::string whenServiceLeaves, Departed departed);
  // Waits for and runs one event of the context on the calling thread; only before start().
  void iterate();
  GMainContext* context() const { return context_; }
  GDBusConnection* bus() const { return bus_.get(); }
  void start();
  void unsubscribe();

 private:
  explicit SessionSignals(const char* threadName);

  const std::string threadName_;
  GMainContext* const context_;
  GMainLoop* const loop_;
  mutter::Connection bus_;
  std::thread thread_;
  std::vector<guint> subscriptions_;
  gulong closedHandlerID_ = 0;
};

}  // namespace vela
