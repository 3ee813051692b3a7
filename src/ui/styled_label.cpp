#include "ui/styled_label.h"

namespace vela {

GtkWidget* styledLabel(const char* text, const LabelStyle& style) {
  GtkWidget* widget = gtk_label_new(text);
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes, pango_attr_scale_new(style.points / 13));
  pango_attr_list_insert(attributes, pango_attr_weight_new(style.weight));
  if (style.alpha < 1) {
    pango_attr_list_insert(attributes, pango_attr_foreground_alpha_new(static_cast<guint16>(style.alpha * 65535)));
  }
  gtk_label_set_attributes(GTK_LABEL(widget), attributes);
  pango_attr_list_unref(attributes);
  gtk_label_set_xalign(GTK_LABEL(widget), style.xalign);
  gtk_label_set_justify(GTK_LABEL(widget), style.xalign == 0.5f ? GTK_JUSTIFY_CENTER : GTK_JUSTIFY_LEFT);
  if (style.wrap) {
    gtk_label_set_line_wrap(GTK_LABEL(widget), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(widget), 60);
  }
  return widget;
}

GtkWidget* fittedTo(int width, GtkWidget* label) {
  gtk_widget_set_size_request(label, width, -1);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
  return label;
}

}  // namespace vela
