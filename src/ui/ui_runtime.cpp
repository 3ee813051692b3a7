#include "ui/ui_runtime.h"

#include <gtk/gtk.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "util/log.h"

namespace vela::UiRuntime {
namespace {

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// Runs GTK on its own thread; true once the loop turns, so that tasks handed to the
// default context from now on queue for that thread instead of running in the caller.
bool startLoop() {
  std::promise<bool> started;
  auto turning = started.get_future();
  std::thread([&started] {
    if (!gtk_init_check(nullptr, nullptr)) {
      started.set_value(false);
      return;
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
    std::string why;
    if (set("VELA_NO_UI")) {
      why = "turned off (VELA_NO_UI)";
    } else if (!set("DISPLAY")) {
      why = "no display (DISPLAY is not set)";
    } else if (here ? !gtk_init_check(nullptr, nullptr) : !startLoop()) {
      why = std::string("GTK cannot open the display ") + std::getenv("DISPLAY");
    }
    ready = why.empty();
    if (!ready) Log::info("desktop: no banner or consent dialog: " + why);
  });
}

GMainLoop* ownLoop() {
  static GMainLoop* loop = g_main_loop_new(nullptr, FALSE);  // lives as long as the process
  return loop;
}
std::atomic<bool> quitting{false};

}  // namespace

bool available() {
  decide(false);
  return ready;
}

void adoptThisThread() {
  // Owning the default context makes this thread the one window work is handed to.
  g_main_context_acquire(g_main_context_default());
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
