#include "ui/ui_runtime.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "util/log.h"
#include "util/no_ui.h"

namespace vela::UiRuntime {
namespace {

std::atomic<bool> lost{false};
std::atomic<Backend> backend{Backend::x11};
std::atomic<bool> servingSessions{false};
std::atomic<std::thread::id> loopThread;

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// GDK's own handler ends the process on any lost X connection, the capture's included.
int survive(Display*) { return 0; }

// Called by Xlib on the thread that found the loop's connection dead: the loop's own.
// Returning would leave GDK polling a dead socket without end, so that thread stays
// here for the rest of the process. It still owns the main context, so window work
// handed to it later queues and never runs against the dead display.
void loopDisplayLost(Display*, void*) {
  if (lost.exchange(true)) return;
  Log::warn("desktop: the X display of the banner and consent dialog is gone; they stay off");
  if (std::this_thread::get_id() != loopThread) return;
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// Runs GTK on its own thread; true once the loop turns, so that tasks handed to the
// default context from now on queue for that thread instead of running in the caller.
bool startLoop() {
  std::promise<bool> started;
  auto turning = started.get_future();
  std::thread([&started] {
    loopThread = std::this_thread::get_id();
    if (!gtk_init_check(nullptr, nullptr)) {
      started.set_value(false);
      return;
    }
    GdkDisplay* display = gdk_display_get_default();
    if (GDK_IS_X11_DISPLAY(display)) {
      XSetIOErrorHandler(&survive);
      XSetIOErrorExitHandler(gdk_x11_display_get_xdisplay(display), &loopDisplayLost, nullptr);
    }
    g_idle_add_full(
        G_PRIORITY_HIGH,
        [](gpointer promise) -> gboolean {
          static_cast<std::promise<bool>*>(promise)->set_value(true);
          return G_SOURCE_REMOVE;
        },
        &started, nullptr);
    gtk_main();
  }).detach();
  return turning.get();
}

std::once_flag decided;
bool ready = false;

void decide(bool here) {
  std::call_once(decided, [here] {
    const bool wayland = backend == Backend::wayland;
    const char* variable = wayland ? "WAYLAND_DISPLAY" : "DISPLAY";
    std::string why;
    if (uiTurnedOff()) {
      why = "turned off (VELA_NO_UI)";
    } else if (!set(variable)) {
      why = std::string("no display (") + variable + " is not set)";
    } else if (wayland && servingSessions) {
      // GTK on Wayland ends the process when the compositor goes, and this one serves
      // sessions whose recordings must be finished then: its windows live in a window host.
      why = "it serves sessions, and on Wayland their windows open in a window host";
    } else {
      // Never the other system's display: under Wayland an XWayland display answers too.
      gdk_set_allowed_backends(wayland ? "wayland" : "x11");
      if (here ? !gtk_init_check(nullptr, nullptr) : !startLoop()) {
        why = std::string("GTK cannot open the ") + (wayland ? "Wayland" : "X") + " display " +
              std::getenv(variable);
      }
    }
    ready = why.empty();
    if (!ready) Log::info("desktop: no window can be shown by this process: " + why);
  });
}

GMainLoop* ownLoop() {
  static GMainLoop* loop = g_main_loop_new(nullptr, FALSE);  // lives as long as the process
  return loop;
}
std::atomic<bool> quitting{false};

}  // namespace

void useBackend(Backend chosen) { backend = chosen; }

bool available() {
  decide(false);
  return ready && !lost.load();
}

bool displayLost() { return lost.load(); }

void adoptThisThread(bool servesSessions) {
  // Owning the default context makes this thread the one window work is handed to.
  g_main_context_acquire(g_main_context_default());
  servingSessions = servesSessions;
  decide(true);
}

void runLoop() {
  GMainLoop* loop = ownLoop();
  if (!quitting) g_main_loop_run(loop);
}

void quitLoop() {
  quitting = true;
  // Through the loop's own context, so a quit that races the start is not lost.
  g_main_context_invoke(nullptr, [](gpointer) -> gboolean {
    g_main_loop_quit(ownLoop());
    return G_SOURCE_REMOVE;
  }, nullptr);
}

}  // namespace vela::UiRuntime
