#include "desktop/linux/wayland/mutter_monitor_watch.h"

#include <pthread.h>

#include "util/log.h"

namespace vela {
namespace {

using Weak = std::weak_ptr<MutterMonitorWatch>;

}  // namespace

Result<std::shared_ptr<MutterMonitorWatch>> MutterMonitorWatch::start(mutter::Monitor captured,
                                                                     ChangeHandler onChange) {
  auto bus = VELA_TRY(mutter::openSessionBus());
  std::shared_ptr<MutterMonitorWatch> watch(
      new MutterMonitorWatch(std::move(bus), std::move(captured), std::move(onChange)));
  // The subscription delivers to the context that is the thread default here; the loop
  // thread owns that context from then on.
  g_main_context_push_thread_default(watch->context_);
  watch->subscription_ = g_dbus_connection_signal_subscribe(
      watch->bus_.get(), mutter::kDisplayConfigName, mutter::kDisplayConfigName, "MonitorsChanged",
      "/org/gnome/Mutter/DisplayConfig", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, &MutterMonitorWatch::onMonitorsChanged,
      new Weak(watch), [](gpointer data) { delete static_cast<Weak*>(data); });
  g_main_context_pop_thread_default(watch->context_);
  watch->thread_ = std::thread([loop = g_main_loop_ref(watch->loop_), context = g_main_context_ref(watch->context_)] {
    pthread_setname_np(pthread_self(), "vela.monitors");
    g_main_context_push_thread_default(context);
    g_main_loop_run(loop);
    g_main_context_pop_thread_default(context);
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  });
  return watch;
}

MutterMonitorWatch::MutterMonitorWatch(mutter::Connection bus, mutter::Monitor captured, ChangeHandler onChange)
    : bus_(std::move(bus)),
      onChange_(std::move(onChange)),
      context_(g_main_context_new()),
      loop_(g_main_loop_new(context_, FALSE)),
      captured_(std::move(captured)) {}

MutterMonitorWatch::~MutterMonitorWatch() {
  stop();
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void MutterMonitorWatch::stop() {
  {
    MutexLock lock(mu_);
    done_ = true;
  }
  if (subscription_) g_dbus_connection_signal_unsubscribe(bus_.get(), subscription_);
  subscription_ = 0;
  // Queued rather than set now, so a loop that has not begun running yet still ends.
  GSource* quit = g_idle_source_new();
  g_source_set_callback(
      quit,
      [](gpointer loop) {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      loop_, nullptr);
  g_source_attach(quit, context_);
  g_source_unref(quit);
  if (thread_.get_id() == std::this_thread::get_id()) {
    // The handler let go of the last owner of what stops the watch; the thread ends by itself.
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

void MutterMonitorWatch::onMonitorsChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                           GVariant*, gpointer data) {
  if (auto self = static_cast<Weak*>(data)->lock()) self->recheck();
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
