#include "desktop/linux/wayland/session_type.h"

#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace vela::SessionType {
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string sessionTypeOf(const char* session) {
  char* type = nullptr;
  if (sd_session_get_type(session, &type) < 0 || !type) return "";
  std::string result = type;
  std::free(type);
  return result;
}

std::string logindType() {
  char* session = nullptr;
  std::string type;
  if (sd_pid_get_session(0, &session) >= 0 && session) {
    type = sessionTypeOf(session);
    std::free(session);
  }
  // A user service runs outside any session: the user's graphical one counts then.
  if (type.empty() || type == "unspecified" || type == "tty") {
    if (sd_uid_get_display(getuid(), &session) >= 0 && session) {
      std::string display = sessionTypeOf(session);
      std::free(session);
      if (!display.empty()) type = display;
    }
  }
  return type;
}

}  // namespace

Facts ofThisProcess() {
  return {env("XDG_SESSION_TYPE"), env("WAYLAND_DISPLAY"), env("DISPLAY"), logindType()};
}

Kind decide(const Facts& facts) {
  for (const std::string* stated : {&facts.xdgSessionType, &facts.logindType}) {
    if (*stated == "wayland") return Kind::wayland;
    if (*stated == "x11") return Kind::x11;
  }
  if (!facts.waylandDisplay.empty()) return Kind::wayland;
  if (!facts.display.empty()) return Kind::x11;
  return Kind::other;
}

std::string describe(const Facts& facts) {
  switch (decide(facts)) {
    case Kind::wayland:
      return "wayland";
    case Kind::x11:
      return "x11";
    case Kind::other:
      break;
  }
  for (const std::string* stated : {&facts.xdgSessionType, &facts.logindType}) {
    if (!stated->empty() && *stated != "unspecified") return *stated;
  }
  return "unknown";
}

bool isGnomeDesktop(const std::string& currentDesktop) {
  std::istringstream names(currentDesktop);
  for (std::string name; std::getline(names, name, ':');) {
    if (name == "GNOME" || name == "GNOME-Classic") return true;
  }
  return false;
}

}  // namespace vela::SessionType
