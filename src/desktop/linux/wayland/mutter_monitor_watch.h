#pragma once

// Follows mutter's monitor layout for the monitor a capture records. mutter ends a screen
// cast itself when the monitor moves or turns, but not when the monitor is switched off or
// its scale changes: the stream then stays open and silent, which looks like a still
// screen. On each MonitorsChanged the layout is read again and the handler told what
// became of the monitor (mutter::changeOf), until a change ends the capture. The signal
// is delivered on a thread of its own; the handler runs there, never after stop().
// Thread-safe; one owner stops it.

#include <gio/gio.h>

#include <functional>
#include <memory>

#include "desktop/linux/wayland/mutter_bus.h"
#include "desktop/linux/wayland/mutter_monitors.h"
#include "desktop/linux/wayland/session_signals.h"
#include "util/mutex.h"

namespace vela {

class MutterMonitorWatch {
 public:
  using ChangeHandler = std::function<void(const mutter::Change& change)>;

  static Result<std::shared_ptr<MutterMonitorWatch>> start(mutter::Monitor captured, ChangeHandler onChange);
  ~MutterMonitorWatch();
  MutterMonitorWatch(const MutterMonitorWatch&) = delete;
  MutterMonitorWatch& operator=(const MutterMonitorWatch&) = delete;

  void stop();

 private:
  MutterMonitorWatch(mutter::Monitor captured, ChangeHandler onChange);

  void recheck();

  const ChangeHandler onChange_;

  Mutex mu_;
  std::unique_ptr<SessionSignals> signals_ GUARDED_BY(mu_);
  mutter::Monitor captured_ GUARDED_BY(mu_);
  bool done_ GUARDED_BY(mu_) = false;  // stopped, or a change ended the capture
};

}  // namespace vela
