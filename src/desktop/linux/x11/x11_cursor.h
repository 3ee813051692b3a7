#pragma once

// The pointer's image, drawn into captured frames: the X server leaves the cursor out
// of what it reads back, and a viewer expects to see it.

#include <X11/Xlib.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace vela::x11 {

struct CursorImage {
  int width = 0;
  int height = 0;
  int xhot = 0;
  int yhot = 0;
  std::vector<std::uint32_t> argb;  // premultiplied, row by row
};

// REQUIRES: the display offers XFIXES.
std::optional<CursorImage> fetchCursor(Display* display);

// Blends the cursor with its hot spot at (x, y) of a BGRA frame; parts outside the frame
// are clipped.
void compositeCursor(const CursorImage& cursor, int x, int y, std::uint8_t* pixels, int stride, int width,
                     int height);

}  // namespace vela::x11
