#pragma once

// A test's own X client on a private Xvfb: it draws what the capture should see and
// rearranges monitors. DISPLAY points at the server while the object lives.

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "support/temp_dir.h"
#include "support/xvfb_server.h"

namespace vela::testing {

class X11TestDisplay {
 public:
  X11TestDisplay(int width, int height);
  ~X11TestDisplay();

  bool ready() const { return display_ != nullptr; }
  Display* display() const { return display_; }
  // Fills a rectangle of the root window with 0xRRGGBB and waits until the server did.
  void fill(int x, int y, int width, int height, std::uint32_t rgb);
  // Defines a RandR monitor over a region (no outputs); returns its id (name atom).
  std::uint32_t addMonitor(const std::string& name, int x, int y, int width, int height);
  void removeMonitor(std::uint32_t id);

 private:
  XvfbServer server_;
  ScopedEnv displayEnv_;
  Display* display_ = nullptr;
};

}  // namespace vela::testing
