#pragma once

// The windows of the person at the screen, in GTK 3.

#include <memory>

#include "desktop/desktop_windows.h"

namespace vela {

std::unique_ptr<DesktopWindows> makeGtkDesktopWindows();

}  // namespace vela
