#pragma once

// The screen of a session no capture backend serves (a Wayland desktop other than
// GNOME, for now): it grants nothing, lists no display, and every capture fails with
// the reason, so a session ends with a clear desktop.error instead of capturing the
// wrong thing.

#include <memory>
#include <string>

#include "desktop/desktop_screen.h"

namespace vela {

std::unique_ptr<DesktopScreen> makeUnavailableScreen(std::string why);

}  // namespace vela
