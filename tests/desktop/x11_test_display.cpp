#include "desktop/x11_test_display.h"

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
  XRRMonitorInfo* monitor = XRRAllocateMonitor(display_, 0);
  monitor->name = XInternAtom(display_, name.c_str(), False);
  monitor->x = x;
  monitor->y = y;
  monitor->width = width;
  monitor->height = height;
  monitor->mwidth = width / 4;
  monitor->mheight = height / 4;
  XRRSetMonitor(display_, DefaultRootWindow(display_), monitor);
  auto id = static_cast<std::uint32_t>(monitor->name);
  XRRFreeMonitors(monitor);
  XSync(display_, False);
  return id;
}

void X11TestDisplay::removeMonitor(std::uint32_t id) {
  XRRDeleteMonitor(display_, DefaultRootWindow(display_), id);
  XSync(display_, False);
}

std::uint32_t rgbAt(const std::uint8_t* pixels, int stride, int x, int y) {
  const std::uint8_t* p = pixels + static_cast<std::size_t>(y) * stride + 4 * static_cast<std::size_t>(x);
  return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

}  // namespace vela::testing
