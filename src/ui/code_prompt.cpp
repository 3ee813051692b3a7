#include "ui/code_prompt.h"

#include "ui/desktop_branding.h"
#include "ui/styled_label.h"

namespace vela {
namespace {

constexpr const char* kExample = "z. B. 123 456 789";

gboolean typeIntoField(GtkWidget* window, GdkEventKey* key, gpointer field) {
  if (gtk_window_get_focus(GTK_WINDOW(window)) != nullptr) return FALSE;
  const bool command = (key->state & (GDK_CONTROL_MASK | GDK_MOD1_MASK)) != 0;
  if (command || gdk_keyval_to_unicode(key->keyval) < 0x20) return FALSE;
  // Returning FALSE lets the window pass the key on, now to the field.
  gtk_widget_grab_focus(GTK_WIDGET(field));
  return FALSE;
}

}  // namespace

GtkWidget* codePromptContent(int width, GtkWidget** field) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_widget_set_size_request(box, width, -1);
  if (Pixbuf logo = DesktopBranding::defaultLogo()) {
    Pixbuf icon = scaledToFit(logo.get(), 64);
    GtkWidget* image = gtk_image_new_from_pixbuf(icon.get());
    gtk_widget_set_margin_bottom(image, 6);
    gtk_box_pack_start(GTK_BOX(box), image, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(box), styledLabel("Support-Code eingeben", {17, PANGO_WEIGHT_BOLD}), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box),
                     styledLabel("Geben Sie den Code ein, den Ihnen der Support durchgegeben hat.",
                                 {12, PANGO_WEIGHT_NORMAL, 0.65, true}),
                     FALSE, FALSE, 0);

  *field = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(*field), kExample);
  gtk_entry_set_alignment(GTK_ENTRY(*field), 0.5);
  gtk_entry_set_activates_default(GTK_ENTRY(*field), TRUE);
  // Room for the whole example at any font size.
  gtk_entry_set_width_chars(GTK_ENTRY(*field), g_utf8_strlen(kExample, -1));
  // The field's own font, not text attributes, so that GTK sizes the field by it.
  GtkCssProvider* big = gtk_css_provider_new();
  gtk_css_provider_load_from_data(big, "entry { font-family: monospace; font-weight: 600; font-size: 169%; }", -1,
                                  nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(*field), GTK_STYLE_PROVIDER(big),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(big);
  gtk_widget_set_size_request(*field, 300, 34);
  gtk_widget_set_halign(*field, GTK_ALIGN_CENTER);
  gtk_widget_set_margin_top(*field, 10);
  gtk_widget_set_margin_bottom(*field, 10);
  gtk_box_pack_start(GTK_BOX(box), *field, FALSE, FALSE, 0);

  GtkWidget* notice = styledLabel(
      "Mit dem Verbinden erlauben Sie die Fernsteuerung Ihres Bildschirms. Die Sitzung wird sichtbar "
      "angezeigt und aufgezeichnet.",
      {11, PANGO_WEIGHT_NORMAL, 0.55, true});
  gtk_box_pack_start(GTK_BOX(box), fittedTo(width, notice), FALSE, FALSE, 0);
  return box;
}

void keepExampleVisible(GtkWidget* window, GtkWidget* field) {
  gtk_window_set_focus(GTK_WINDOW(window), nullptr);
  g_signal_connect(window, "key-press-event", G_CALLBACK(typeIntoField), field);
}

GtkWidget* actionButton(const char* title) {
  GtkWidget* button = gtk_button_new_with_label(title);
  gtk_widget_set_size_request(button, 110, 32);
  return button;
}

GtkWidget* linkButton(const char* title) {
  GtkWidget* button = gtk_button_new_with_label(title);
  gtk_button_set_relief(GTK_BUTTON(button), GTK_RELIEF_NONE);
  // Styles reach only the widget they are added to, so the colour goes on the label.
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, "label { color: #1a5fb4; }", -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(gtk_bin_get_child(GTK_BIN(button))),
                                 GTK_STYLE_PROVIDER(provider), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
  return button;
}

}  // namespace vela
