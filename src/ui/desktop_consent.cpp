#include "ui/desktop_consent.h"

#include <gtk/gtk.h>

#include "ui/desktop_branding.h"
#include "ui/main_loop.h"
#include "ui/modal_dialog.h"

namespace vela {

namespace {

// One open dialog and its answer; freed when the dialog answers.
struct PendingConsent {
  GtkWidget* dialog = nullptr;
  guint timer = 0;
  DesktopConsenting::Completion completion;
};

void onResponse(GtkDialog* dialog, gint response, gpointer data) {
  auto* pending = static_cast<PendingConsent*>(data);
  if (pending->timer && response != DesktopConsent::kTimedOut) g_source_remove(pending->timer);
  pending->timer = 0;
  g_signal_handlers_disconnect_by_data(dialog, data);
  gtk_widget_destroy(GTK_WIDGET(dialog));
  auto completion = std::move(pending->completion);
  delete pending;
  completion(response == GTK_RESPONSE_ACCEPT);
}

GtkWidget* buildDialog(const std::string& title, const std::string& message,
                       const std::string& logoBase64) {
  GtkWidget* dialog = newModalDialog(DesktopConsent::kWidgetName, title);
  gtk_window_set_urgency_hint(GTK_WINDOW(dialog), TRUE);

  // Affirmative on the right, as Linux desktops place it.
  GtkWidget* decline = gtk_dialog_add_button(GTK_DIALOG(dialog), "Ablehnen", GTK_RESPONSE_REJECT);
  GtkWidget* allow = gtk_dialog_add_button(GTK_DIALOG(dialog), "Erlauben", GTK_RESPONSE_ACCEPT);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  // Themes mark the default answer only through this class.
  gtk_style_context_add_class(gtk_widget_get_style_context(allow), "suggested-action");
  for (GtkWidget* button : {decline, allow}) gtk_widget_set_margin_bottom(button, 12);
  gtk_widget_set_margin_end(allow, 12);

  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
  gtk_container_set_border_width(GTK_CONTAINER(row), 16);
  if (Pixbuf logo = DesktopBranding::resolve(logoBase64)) {
    Pixbuf icon = scaledToFit(logo.get(), 64);
    GtkWidget* image = gtk_image_new_from_pixbuf(icon.get());
    gtk_widget_set_valign(image, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(row), image, FALSE, FALSE, 0);
  }
  GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  GtkWidget* heading = gtk_label_new(title.c_str());
  PangoAttrList* bold = pango_attr_list_new();
  pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  pango_attr_list_insert(bold, pango_attr_scale_new(1.15));
  gtk_label_set_attributes(GTK_LABEL(heading), bold);
  pango_attr_list_unref(bold);
  GtkWidget* body = gtk_label_new(message.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(body), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(body), 48);
  for (GtkWidget* label : {heading, body}) {
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_box_pack_start(GTK_BOX(texts), label, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(row), texts, TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), row);
  return dialog;
}

}  // namespace

std::string DesktopConsent::title(const std::string& brandName) {
  return (brandName.empty() ? std::string("Fernzugriff") : brandName) + " – Fernzugriff-Anfrage";
}

std::string DesktopConsent::message(const std::string& operatorName, bool recording) {
  std::string text = (operatorName.empty() ? std::string("Ihr IT-Support") : operatorName) +
                     " möchte Ihren Bildschirm sehen und fernsteuern.";
  if (recording) text += "\n\nDie Sitzung wird sichtbar angezeigt und aufgezeichnet.";
  return text;
}

void DesktopConsent::request(std::chrono::milliseconds timeout, const std::string& operatorName,
                             const std::string& brandName, const std::string& logoBase64,
                             bool recording, Completion completion) {
  onMainLoop([=, completion = std::move(completion)]() mutable {
    GtkWidget* dialog = buildDialog(title(brandName), message(operatorName, recording), logoBase64);
    auto* pending = new PendingConsent{dialog, 0, std::move(completion)};
    g_signal_connect(dialog, "response", G_CALLBACK(onResponse), pending);
    pending->timer = g_timeout_add(
        static_cast<guint>(timeout.count()),
        [](gpointer data) -> gboolean {
          auto* p = static_cast<PendingConsent*>(data);
          p->timer = 0;
          gtk_dialog_response(GTK_DIALOG(p->dialog), DesktopConsent::kTimedOut);
          return G_SOURCE_REMOVE;
        },
        pending);
    gtk_widget_show_all(dialog);
    gtk_window_present_with_time(GTK_WINDOW(dialog), GDK_CURRENT_TIME);
    gtk_widget_grab_focus(
        gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT));
  });
}

}  // namespace vela
