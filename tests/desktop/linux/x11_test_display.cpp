#include "desktop/linux/x11_test_display.h"

#include <X11/extensions/Xrandr.h>

namespace vela::testing {

X11TestDisplay::X11TestDisplay(int width, int height)
    : server_(width, height), displayEnv_("DISPLAY", server_.displayName()) {
  if (server_.running()) display_ = XOpenDisplay(server_.displayName().c_str());
}

X11TestDisplay::~X11TestDisplay() {
  if (display_) XCloseDisplay(display_);
}

void X11TestDisplay::fill(int x, int y, int width, int height, std::uint32_t rgb) {
  GC gc = XCreateGC(display_, DefaultRootWindow(display_), 0, nullptr);
  XSetForeground(display_, gc, rgb);
  XFillRectangle(display_, DefaultRootWindow(display_), gc, x, y, width, height);
  XFreeGC(display_, gc);
  XSync(display_, False);
}

std::uint32_t X11TestDisplay::addMonitor(const std::string& name, int x, int y, int width, int height) {
  Atom id = XInternAtom(display_, name.c_str(), False);
  // Neither primary nor automatic, without outputs, and a made-up size in millimetres.
  XRRMonitorInfo monitor{id, False, False, 0, x, y, width, height, width / 4, height / 4, nullptr};
  XRRSetMonitor(display_, DefaultRootWindow(display_), &monitor);
  XSync(display_, False);
  return static_cast<std::uint32_t>(id);
}

void X11TestDisplay::removeMonitor(std::uint32_t id) {
  XRRDeleteMonitor(display_, DefaultRootWindow(display_), id);
  XSync(display_, False);
}

}  // namespace vela::testing
