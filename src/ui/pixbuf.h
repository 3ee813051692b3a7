#pragma once

// An owned reference to a GdkPixbuf, released with g_object_unref.

#include <memory>

#include <gdk-pixbuf/gdk-pixbuf.h>

namespace vela {

struct PixbufRelease {
  void operator()(GdkPixbuf* pixbuf) const { g_object_unref(pixbuf); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, PixbufRelease>;

// The image scaled to fit a box of `size` × `size`, keeping its proportions.
Pixbuf scaledToFit(GdkPixbuf* image, int size);

}  // namespace vela
