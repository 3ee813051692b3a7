#pragma once

// The GLib main loop that window work needs (see main_loop.h), for processes that have
// none of their own: the daemon and the `gateway` command. On first use GTK opens the
// session's display ($DISPLAY, or $WAYLAND_DISPLAY in a Wayland session) and runs its
// main loop on a thread of its own for the rest of the process.
// Losing that display (the X server ends) does not end the process: the loop's thread
// stops for good where it noticed, window work is dropped from then on, and the
// sessions themselves learn of it from their capture.

namespace vela::UiRuntime {

enum class Backend { x11, wayland };

// Which window system GTK is allowed to use; X11 unless told. REQUIRES: called before
// anything asks available() or adopts a thread.
void useBackend(Backend backend);

// False (said once in the log) when VELA_NO_UI is set, without a display, when GTK
// cannot open it, once the display was lost, or on Wayland in a process whose main
// thread was adopted to serve sessions (a session helper: GTK there would end it with
// the compositor). Thread-safe.
bool available();

// True once the loop's display was lost. Thread-safe.
bool displayLost();

// For a process whose main thread is free to run the loop (the desktop helper): GTK
// starts on the calling thread instead of one of its own. Call it before anything asks
// available(); runLoop() then turns the loop there (with or without windows) until
// quitLoop(), which may come from any thread, even before runLoop().
// `servesSessions` is false only for the window host, whose GTK may end with the
// compositor.
void adoptThisThread(bool servesSessions = true);
void runLoop();
void quitLoop();

}  // namespace vela::UiRuntime
