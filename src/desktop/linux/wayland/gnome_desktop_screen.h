#pragma once

// The GNOME backend under Wayland: capture and input through mutter's remote-desktop
// API on the user's session bus (no dialog; it serves unattended sessions).

#include <memory>

#include "desktop/desktop_screen.h"

namespace vela {

inline constexpr const char* kGnomeBackendName = "wayland (GNOME remote desktop)";

// A Wayland session whose desktop is GNOME, or whose bus has mutter's API.
bool gnomeServesThisSession();
std::unique_ptr<DesktopScreen> makeGnomeDesktopScreen();

}  // namespace vela
