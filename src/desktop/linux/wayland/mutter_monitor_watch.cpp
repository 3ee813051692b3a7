#include "desktop/linux/wayland/mutter_monitor_watch.h"

#include "util/log.h"

namespace vela {

Result<std::shared_ptr<MutterMonitorWatch>> MutterMonitorWatch::start(mutter::Monitor captured,
                                                                     ChangeHandler onChange) {
  auto signals = VELA_TRY(SessionSignals::open("vela.monitors"));
  std::shared_ptr<MutterMonitorWatch> watch(new MutterMonitorWatch(std::move(captured), std::move(onChange)));
  std::weak_ptr<MutterMonitorWatch> weak = watch;
  signals->subscribe(mutter::kDisplayConfigName, mutter::kDisplayConfigName, "MonitorsChanged",
                     "/org/gnome/Mutter/DisplayConfig", [weak](const std::string&, const std::string&,
                                                               const std::string&, GVariant*) {
                       if (auto self = weak.lock()) self->recheck();
                     });
  // Kept before it starts, so the first change already finds the bus to read.
  SessionSignals* started = signals.get();
  {
    MutexLock lock(watch->mu_);
    watch->signals_ = std::move(signals);
  }
  started->start();
  return watch;
}

MutterMonitorWatch::MutterMonitorWatch(mutter::Monitor captured, ChangeHandler onChange)
    : onChange_(std::move(onChange)), captured_(std::move(captured)) {}

MutterMonitorWatch::~MutterMonitorWatch() { stop(); }

void MutterMonitorWatch::stop() {
  std::unique_ptr<SessionSignals> signals;
  {
    MutexLock lock(mu_);
    done_ = true;
    signals = std::move(signals_);
  }
  // Ends the signal thread, or, run on it, leaves it to end by itself.
  signals.reset();
}

void MutterMonitorWatch::recheck() {
  mutter::Monitor captured;
  GDBusConnection* bus = nullptr;
  {
    MutexLock lock(mu_);
    if (done_ || !signals_) return;
    captured = captured_;
    bus = signals_->bus();
  }
  // Runs on the signals' own thread, which stop() joins before they go.
  auto now = mutter::currentMonitors(bus);
  if (!now) {
    // mutter going away ends the session through its own signals.
    Log::warn("desktop: reading the monitor layout: " + now.error().message);
    return;
  }
  auto change = mutter::changeOf(captured, *now);
  if (!change) return;
  {
    MutexLock lock(mu_);
    if (done_) return;
    if (change->endsCapture) {
      done_ = true;
    } else {
      for (const auto& monitor : *now) {
        if (monitor.connector == captured.connector) captured_ = monitor;
      }
    }
  }
  if (onChange_) onChange_(*change);
}

}  // namespace vela
