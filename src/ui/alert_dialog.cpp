#include "ui/alert_dialog.h"

#include <future>

#include "ui/desktop_branding.h"
#include "ui/main_loop.h"
#include "ui/modal_dialog.h"
#include "ui/styled_label.h"

namespace vela {
namespace {

GtkWidget* icon(bool warning) {
  if (!warning) {
    if (Pixbuf logo = DesktopBranding::defaultLogo()) {
      Pixbuf scaled = scaledToFit(logo.get(), 64);
      return gtk_image_new_from_pixbuf(scaled.get());
    }
  }
  GtkWidget* image =
      gtk_image_new_from_icon_name(warning ? "dialog-warning" : "dialog-information", GTK_ICON_SIZE_DIALOG);
  gtk_image_set_pixel_size(GTK_IMAGE(image), 64);
  return image;
}

void build(const char* widgetName, const AlertText& alert, bool warning, std::promise<void>* answered) {
  GtkWidget* dialog = newModalDialog(widgetName, alert.title);
  GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  gtk_style_context_add_class(gtk_widget_get_style_context(ok), "suggested-action");
  gtk_widget_set_size_request(ok, 110, -1);
  gtk_widget_set_margin_bottom(ok, 12);
  gtk_widget_set_margin_end(ok, 12);

  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
  gtk_container_set_border_width(GTK_CONTAINER(row), 16);
  GtkWidget* image = icon(warning);
  gtk_widget_set_valign(image, GTK_ALIGN_START);
  gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
  GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_box_pack_start(GTK_BOX(texts), styledLabel(alert.heading.c_str(), {15, PANGO_WEIGHT_BOLD, 1, true, 0}),
                     FALSE, FALSE, 0);
  if (!alert.text.empty()) {
    GtkWidget* body = styledLabel(alert.text.c_str(), {13, PANGO_WEIGHT_NORMAL, 1, true, 0});
    gtk_label_set_max_width_chars(GTK_LABEL(body), 48);
    gtk_label_set_selectable(GTK_LABEL(body), TRUE);  // a path or an error to pass on
    gtk_box_pack_start(GTK_BOX(texts), body, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(row), texts, TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), row);
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, gint, gpointer data) {
                     g_signal_handlers_disconnect_by_data(d, data);
                     gtk_widget_destroy(GTK_WIDGET(d));
                     static_cast<std::promise<void>*>(data)->set_value();
                   }),
                   answered);
  gtk_widget_show_all(dialog);
  gtk_window_present_with_time(GTK_WINDOW(dialog), GDK_CURRENT_TIME);
  // The selectable text would take the focus and select itself; OK answers Return.
  gtk_widget_grab_focus(ok);
}

}  // namespace

void runAlert(const char* widgetName, const AlertText& alert, bool warning) {
  std::promise<void> answered;
  auto done = answered.get_future();
  onMainLoop([&] { build(widgetName, alert, warning, &answered); });
  done.wait();
}

}  // namespace vela
