#pragma once

// The GLib main loop that window work needs (see main_loop.h), for processes that have
// none of their own: the daemon and the `gateway` command. On first use GTK opens
// $DISPLAY and runs its main loop on a thread of its own for the rest of the process.

namespace vela::UiRuntime {

// False (said once in the log) when VELA_NO_UI is set, without a display, or when GTK
// cannot open it. Thread-safe; the first answer holds for the life of the process.
bool available();

}  // namespace vela::UiRuntime
