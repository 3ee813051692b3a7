#pragma once

// The `desktop-agent` command: the per-user desktop helper. It serves the desktop
// sessions the root daemon relays to it, with the screen, media and windows of the
// user's graphical session. Runs on the process's main thread, which becomes the GLib
// main loop's; returns the exit status.

#include <string>

#include "desktop/desktop_services.h"

namespace vela {

int runSessionHelper(const DesktopServices& services, const std::string& socketPath);

}  // namespace vela
