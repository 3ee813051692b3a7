#pragma once

// Labels of the agent's windows. Sizes are relative to the desktop's own font (a 13-point
// design scaled to it), so a larger font setting makes the windows grow, never overlap.

#include <gtk/gtk.h>

namespace vela {

struct LabelStyle {
  double points = 13;  // in the design's 13-point system font
  PangoWeight weight = PANGO_WEIGHT_NORMAL;
  double alpha = 1;  // dimmed text for secondary lines
  bool wrap = false;
  float xalign = 0.5f;
};

GtkWidget* styledLabel(const char* text, const LabelStyle& style);

// A wrapping label exactly `width` wide, so its window keeps the width it was designed
// with whatever the text; a larger font makes it taller instead.
GtkWidget* fittedTo(int width, GtkWidget* label);

}  // namespace vela
