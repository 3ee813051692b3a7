#pragma once

// The GLib main loop that window work needs (see main_loop.h), for processes that have
// none of their own: the daemon and the `gateway` command. On first use GTK opens
// $DISPLAY and runs its main loop on a thread of its own for the rest of the process.
// Losing that display (the X server ends) does not end the process: the loop's thread
// stops for good where it noticed, window work is dropped from then on, and the
// sessions themselves learn of it from their capture.

namespace vela::UiRuntime {

// False (said once in the log) when VELA_NO_UI is set, without a display, when GTK
// cannot open it, or once the display was lost. Thread-safe.
bool available();

// True once the loop's display was lost. Thread-safe.
bool displayLost();

// For a process whose main thread is free to run the loop (the desktop helper): GTK
// starts on the calling thread instead of one of its own. Call it before anything asks
// available(); runLoop() then turns the loop there (with or without windows) until
// quitLoop(), which may come from any thread, even before runLoop().
void adoptThisThread();
void runLoop();
void quitLoop();

}  // namespace vela::UiRuntime
