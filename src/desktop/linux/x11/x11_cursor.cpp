#include "desktop/linux/x11/x11_cursor.h"

#include <X11/extensions/Xfixes.h>

#include <algorithm>

namespace vela::x11 {

std::optional<CursorImage> fetchCursor(Display* display) {
  XFixesCursorImage* found = XFixesGetCursorImage(display);
  if (!found) return std::nullopt;
  CursorImage cursor{found->width, found->height, found->xhot, found->yhot, {}};
  std::size_t count = static_cast<std::size_t>(found->width) * found->height;
  cursor.argb.resize(count);
  // Xlib hands each 32-bit pixel in an unsigned long.
  for (std::size_t i = 0; i < count; ++i) cursor.argb[i] = static_cast<std::uint32_t>(found->pixels[i]);
  XFree(found);
  return cursor;
}

void compositeCursor(const CursorImage& cursor, int x, int y, std::uint8_t* pixels, int stride, int width,
                     int height) {
  int left = x - cursor.xhot, top = y - cursor.yhot;
  int fromX = std::max(0, -left), toX = std::min(cursor.width, width - left);
  int fromY = std::max(0, -top), toY = std::min(cursor.height, height - top);
  for (int row = fromY; row < toY; ++row) {
    const std::uint32_t* src = cursor.argb.data() + static_cast<std::size_t>(row) * cursor.width;
    std::uint8_t* dst = pixels + static_cast<std::size_t>(top + row) * stride + 4 * static_cast<std::size_t>(left);
    for (int col = fromX; col < toX; ++col) {
      std::uint32_t p = src[col];
      std::uint32_t alpha = p >> 24;
      if (alpha == 0) continue;
      std::uint8_t* d = dst + 4 * col;
      std::uint32_t keep = 255 - alpha;
      for (int c = 0; c < 3; ++c) {
        std::uint32_t blended = ((p >> (8 * c)) & 0xff) + (d[c] * keep + 127) / 255;
        d[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(blended, 255));
      }
    }
  }
}

}  // namespace vela::x11
