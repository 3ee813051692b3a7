#include "desktop/linux/x11/x11_screen.h"

#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>

namespace vela::x11 {

ScreenPermissions::Summary screenPermissions() {
  auto connection = Connection::open();
  if (!connection) return {};
  Display* dpy = (*connection)->display();
  int event = 0, error = 0, major = 0, minor = 0;
  return {XShmQueryExtension(dpy) == True, XTestQueryExtension(dpy, &event, &error, &major, &minor) == True};
}

std::vector<Displays::Info> activeDisplays() {
  auto connection = Connection::open();
  if (!connection) return {};
  return monitors(**connection);
}

std::vector<Displays::Info> monitors(Connection& connection) {
  Display* dpy = connection.display();
  std::vector<Displays::Info> list;
  int event = 0, error = 0, major = 0, minor = 0;
  bool randr15 = XRRQueryExtension(dpy, &event, &error) && XRRQueryVersion(dpy, &major, &minor) &&
                 (major > 1 || (major == 1 && minor >= 5));
  if (randr15) {
    int count = 0;
    XRRMonitorInfo* found = XRRGetMonitors(dpy, connection.root(), True, &count);
    for (int i = 0; found && i < count; ++i) {
      const XRRMonitorInfo& m = found[i];
      if (m.width <= 0 || m.height <= 0) continue;
      list.push_back({static_cast<std::uint32_t>(m.name), m.width, m.height, m.primary != 0, m.x, m.y});
    }
    if (found) XRRFreeMonitors(found);
  }
  if (list.empty() && !connection.lost()) {
    Screen* screen = DefaultScreenOfDisplay(dpy);
    list.push_back({0, WidthOfScreen(screen), HeightOfScreen(screen), true, 0, 0});
  }
  if (!list.empty() && std::none_of(list.begin(), list.end(), [](const auto& d) { return d.isMain; })) list.front().isMain = true;
  return list;
}

}  // namespace vela::x11
