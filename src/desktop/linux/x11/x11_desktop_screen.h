#pragma once

// The X11 capture backend: MIT-SHM capture and XTEST input on $DISPLAY.

#include <memory>

#include "desktop/desktop_screen.h"

namespace vela {

std::unique_ptr<DesktopScreen> makeX11DesktopScreen();

}  // namespace vela
