#pragma once

// The windows of the person at the screen in a Wayland session. The banner and the
// consent dialog belong to processes that serve sessions, so they are shown by a window
// host (window_host.h) that can die with the compositor on its own. The quick-assist
// and first-start windows stay in-process: they belong to foreground commands the
// person started, whose process ending with the compositor ends nothing else.

#include <memory>

#include "desktop/desktop_windows.h"

namespace vela {

std::unique_ptr<DesktopWindows> makeWaylandDesktopWindows();

}  // namespace vela
