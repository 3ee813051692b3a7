#pragma once

// The GLib main loop that window work needs (see main_loop.h), for processes that have
// none of their own: the daemon and the `gateway` command. On first use GTK opens
// $DISPLAY and runs its main loop on a thread of its own for the rest of the process.

namespace vela::UiRuntime {

// False (said once in the log) when VELA_NO_UI is set, without a display, or when GTK
// cannot open it. Thread-safe; the first answer holds for the life of the process.
bool available();

// For a process whose main thread is free to run the loop (the desktop helper): GTK
// starts on the calling thread instead of one of its own. Call it before anything asks
// available(); runLoop() then turns the loop there (with or without windows) until
// quitLoop(), which may come from any thread, even before runLoop().
void adoptThisThread();
void runLoop();
void quitLoop();

}  // namespace vela::UiRuntime
