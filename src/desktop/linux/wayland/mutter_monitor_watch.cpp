#include "desktop/linux/wayland/mutter_monitor_watch.h"

#include "util/log.h"

namespace vela {

Result<std::shared_ptr<MutterMonitorWatch>> MutterMonitorWatch::start(mutter::Monitor captured,
                                                                     ChangeHandler onChange) {
  auto bus = VELA_TRY(mutter::openSessionBus());
  std::shared_ptr<MutterMonitorWatch> watch(
      new MutterMonitorWatch(std::move(bus), std::move(captured), std::move(onChange)));
  auto signals = std::make_unique<SessionSignals>(watch->bus_.get(), "vela.monitors");
  std::weak_ptr<MutterMonitorWatch> weak = watch;
  signals->subscribe(mutter::kDisplayConfigName, mutter::kDisplayConfigName, "MonitorsChanged",
                     "/org/gnome/Mutter/DisplayConfig", [weak](const std::string&, const std::string&,
                                                               const std::string&, GVariant*) {
                       if (auto self = weak.lock()) self->recheck();
                     });
  signals->start();
  MutexLock lock(watch->mu_);
  watch->signals_ = std::move(signals);
  return watch;
}

MutterMonitorWatch::MutterMonitorWatch(mutter::Connection bus, mutter::Monitor captured, ChangeHandler onChange)
    : bus_(std::move(bus)), onChange_(std::move(onChange)), captured_(std::move(captured)) {}

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
  {
    MutexLock lock(mu_);
    if (done_) return;
    captured = captured_;
  }
  auto now = mutter::currentMonitors(bus_.get());
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
