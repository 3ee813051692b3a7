#pragma once

// Permissions and displays as X11 sees them. Screen recording is granted when the
// display opens and offers MIT-SHM; input (accessibility) when it offers XTEST. Each
// RandR monitor is one display, identified by its name atom; the primary monitor is
// the main one (the first when none is primary). Without RandR the whole screen is one
// display with id 0.

#include <vector>

#include "desktop/screen_types.h"
#include "desktop/linux/x11/x11_connection.h"

namespace vela::x11 {

ScreenPermissions::Summary screenPermissions();
std::vector<Displays::Info> activeDisplays();
std::vector<Displays::Info> monitors(Connection& connection);

}  // namespace vela::x11
