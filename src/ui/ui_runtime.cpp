#include "ui/ui_runtime.h"

#include <gtk/gtk.h>

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

}  // namespace

bool available() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    std::string why;
    if (set("VELA_NO_UI")) {
      why = "turned off (VELA_NO_UI)";
    } else if (!set("DISPLAY")) {
      why = "no display (DISPLAY is not set)";
    } else if (!startLoop()) {
      why = std::string("GTK cannot open the display ") + std::getenv("DISPLAY");
    }
    ready = why.empty();
    if (!ready) Log::info("desktop: no banner or consent dialog: " + why);
  });
  return ready;
}

}  // namespace vela::UiRuntime
