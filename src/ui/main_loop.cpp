#include "ui/main_loop.h"

#include <glib.h>

#include <utility>

#include "ui/ui_runtime.h"

namespace vela {

void onMainLoop(std::function<void()> task) {
  // With the display gone nothing may touch GTK again, here or on the loop's thread.
  if (UiRuntime::displayLost()) return;
  g_main_context_invoke_full(
      nullptr, G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(task)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

}  // namespace vela
