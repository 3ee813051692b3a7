#pragma once

// One connection to the X server named by DISPLAY, used by one thread at a time.
// Opening installs, once per process, error handlers that never end the process: a
// failed request is left to the caller's checks, and a lost connection marks the
// connection lost (lost()) instead of exiting.

#include <X11/Xlib.h>

#include <atomic>
#include <memory>
#include <string>

#include "util/agent_error.h"

namespace vela::x11 {

// Text for the display the process would open ("" → DISPLAY is unset).
std::string displayName();

class Connection {
 public:
  static Result<std::unique_ptr<Connection>> open() { return open(displayName()); }
  // `name` "" is $DISPLAY.
  static Result<std::unique_ptr<Connection>> open(const std::string& name);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* display() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }
  bool lost() const { return lost_->load(); }

 private:
  Connection(Display* display, std::unique_ptr<std::atomic<bool>> lost)
      : display_(display), lost_(std::move(lost)) {}

  Display* display_;
  // Heap-held so the server-side exit handler can reach it by address.
  std::unique_ptr<std::atomic<bool>> lost_;
};

// The error code of the last failed request seen by this thread (0 when none since
// the last reset): X errors arrive asynchronously, so callers sync and then look here.
int lastErrorOnThisThread();
void resetLastErrorOnThisThread();

}  // namespace vela::x11
