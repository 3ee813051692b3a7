#pragma once

// The desktop-portal backend under Wayland: capture and input through the portal's
// RemoteDesktop and ScreenCast, for desktops without mutter's API (or when an admin
// chooses it). Every session shows the desktop's own dialog, so it serves attended
// sessions only; its monitors are known only once the person has picked one.

#include <memory>
#include <string>

#include "desktop/desktop_screen.h"

namespace vela {

inline constexpr const char* kPortalBackendName = "wayland (desktop portal)";

// Why the session bus's desktop portal cannot serve remote desktop, or empty.
std::string portalWhyUnavailable();
// A Wayland session whose desktop portal offers RemoteDesktop and ScreenCast.
bool portalServesThisSession();
std::unique_ptr<DesktopScreen> makePortalDesktopScreen();

}  // namespace vela
