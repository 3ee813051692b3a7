#pragma once

// Which kind of graphical session this process serves, decided from the session itself
// (XDG_SESSION_TYPE, WAYLAND_DISPLAY, logind's record of the session) rather than from
// whether some X display answers: under Wayland an XWayland display answers too, yet
// sees and drives only XWayland windows. Stateless.

#include <string>

namespace vela::SessionType {

enum class Kind { x11, wayland, other };

struct Facts {
  std::string xdgSessionType;  // XDG_SESSION_TYPE
  std::string waylandDisplay;  // WAYLAND_DISPLAY
  std::string display;         // DISPLAY
  std::string logindType;      // logind's Type of this process's (or its user's graphical) session
};

Facts ofThisProcess();
Kind decide(const Facts& facts);
// "x11", "wayland" or what logind or XDG_SESSION_TYPE called it ("tty"), else "unknown".
std::string describe(const Facts& facts);
// XDG_CURRENT_DESKTOP names GNOME (it lists desktops separated by colons).
bool isGnomeDesktop(const std::string& currentDesktop);

}  // namespace vela::SessionType
