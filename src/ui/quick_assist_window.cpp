#include "ui/quick_assist_window.h"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>

#include <future>

#include "ui/desktop_branding.h"
#include "ui/main_loop.h"
#include "ui/modal_dialog.h"

namespace vela {
namespace {

constexpr int kWidth = 460;
constexpr int kHeight = 280;

// The layout is given from the bottom-left corner, as the design draws it.
void place(GtkWidget* fixed, GtkWidget* child, int x, int y, int width, int height) {
  gtk_widget_set_size_request(child, width, height);
  gtk_layout_put(GTK_LAYOUT(fixed), child, x, kHeight - y - height);
}

GtkWidget* label(const char* text, double scale, PangoWeight weight, double alpha) {
  GtkWidget* widget = gtk_label_new(text);
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes, pango_attr_scale_new(scale));
  pango_attr_list_insert(attributes, pango_attr_weight_new(weight));
  if (alpha < 1) pango_attr_list_insert(attributes, pango_attr_foreground_alpha_new(static_cast<guint16>(alpha * 65535)));
  gtk_label_set_attributes(GTK_LABEL(widget), attributes);
  pango_attr_list_unref(attributes);
  gtk_label_set_justify(GTK_LABEL(widget), GTK_JUSTIFY_CENTER);
  gtk_label_set_xalign(GTK_LABEL(widget), 0.5);
  return widget;
}

GtkWidget* logoImage() {
  Pixbuf logo = DesktopBranding::defaultLogo();
  if (!logo) return nullptr;
  Pixbuf icon = scaledToFit(logo.get(), 64);
  return gtk_image_new_from_pixbuf(icon.get());
}

// One open code window and the answer its caller waits for.
struct CodePrompt {
  GtkWidget* window = nullptr;
  GtkWidget* field = nullptr;
  std::promise<std::optional<std::string>> answer;
  bool answered = false;

  void end(bool connect) {
    if (answered) return;
    answered = true;
    std::optional<std::string> text;
    if (connect) text = gtk_entry_get_text(GTK_ENTRY(field));
    GtkWidget* w = window;
    window = nullptr;
    answer.set_value(std::move(text));
    gtk_widget_destroy(w);
  }
};

void buildCodeWindow(CodePrompt* prompt) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  prompt->window = window;
  gtk_widget_set_name(window, QuickAssistWindow::kCodeWindowName);
  gtk_window_set_title(GTK_WINDOW(window), QuickAssistWindows::kCodeWindowTitle);
  gtk_window_set_default_size(GTK_WINDOW(window), kWidth, kHeight);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);

  // A layout, unlike a fixed container, keeps its own size whatever its labels would
  // ask for, so the window has the designed size.
  GtkWidget* fixed = gtk_layout_new(nullptr, nullptr);
  gtk_layout_set_size(GTK_LAYOUT(fixed), kWidth, kHeight);
  gtk_widget_set_size_request(fixed, kWidth, kHeight);
  if (GtkWidget* logo = logoImage()) place(fixed, logo, 198, 210, 64, 64);
  place(fixed, label("Support-Code eingeben", 17.0 / 13, PANGO_WEIGHT_BOLD, 1), 20, 176, 420, 26);
  place(fixed, label("Geben Sie den Code ein, den Ihnen der Support durchgegeben hat.", 12.0 / 13,
                     PANGO_WEIGHT_NORMAL, 0.65),
        20, 150, 420, 20);

  GtkWidget* field = gtk_entry_new();
  prompt->field = field;
  gtk_entry_set_placeholder_text(GTK_ENTRY(field), "z. B. 123 456 789");
  gtk_entry_set_alignment(GTK_ENTRY(field), 0.5);
  gtk_entry_set_activates_default(GTK_ENTRY(field), TRUE);
  PangoAttrList* big = pango_attr_list_new();
  pango_attr_list_insert(big, pango_attr_family_new("Monospace"));
  pango_attr_list_insert(big, pango_attr_scale_new(22.0 / 13));
  pango_attr_list_insert(big, pango_attr_weight_new(PANGO_WEIGHT_SEMIBOLD));
  gtk_entry_set_attributes(GTK_ENTRY(field), big);
  pango_attr_list_unref(big);
  place(fixed, field, 80, 104, 300, 34);

  GtkWidget* notice = label(
      "Mit dem Verbinden erlauben Sie die Fernsteuerung Ihres Bildschirms. Die Sitzung wird sichtbar "
      "angezeigt und aufgezeichnet.",
      11.0 / 13, PANGO_WEIGHT_NORMAL, 0.45);
  gtk_label_set_line_wrap(GTK_LABEL(notice), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(notice), 60);
  place(fixed, notice, 30, 56, 400, 36);

  GtkWidget* connect = gtk_button_new_with_label("Verbinden");
  GtkWidget* cancel = gtk_button_new_with_label("Abbrechen");
  gtk_style_context_add_class(gtk_widget_get_style_context(connect), "suggested-action");
  place(fixed, connect, 330, 16, 110, 32);
  place(fixed, cancel, 210, 16, 110, 32);
  gtk_widget_set_can_default(connect, TRUE);
  gtk_window_set_default(GTK_WINDOW(window), connect);

  g_signal_connect_swapped(connect, "clicked", G_CALLBACK(+[](CodePrompt* p) { p->end(true); }), prompt);
  g_signal_connect_swapped(cancel, "clicked", G_CALLBACK(+[](CodePrompt* p) { p->end(false); }), prompt);
  g_signal_connect(window, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* event, gpointer data) -> gboolean {
                     if (event->keyval != GDK_KEY_Escape) return FALSE;
                     static_cast<CodePrompt*>(data)->end(false);
                     return TRUE;
                   }),
                   prompt);
  g_signal_connect(window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     static_cast<CodePrompt*>(data)->end(false);
                     return TRUE;
                   }),
                   prompt);

  gtk_container_add(GTK_CONTAINER(window), fixed);
  gtk_widget_show_all(window);
  gtk_window_present(GTK_WINDOW(window));
  gtk_widget_grab_focus(field);
}

struct Alert {
  std::promise<void> done;
};

void buildAlert(Alert* alert, const std::string& title, const std::string& text, bool warning) {
  GtkWidget* dialog = newModalDialog(QuickAssistWindow::kAlertName, title);
  GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  gtk_style_context_add_class(gtk_widget_get_style_context(ok), "suggested-action");
  gtk_widget_set_margin_bottom(ok, 12);
  gtk_widget_set_margin_end(ok, 12);

  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
  gtk_container_set_border_width(GTK_CONTAINER(row), 16);
  GtkWidget* icon = logoImage();
  if (!icon) icon = gtk_image_new_from_icon_name(warning ? "dialog-warning" : "dialog-information", GTK_ICON_SIZE_DIALOG);
  gtk_widget_set_valign(icon, GTK_ALIGN_START);
  gtk_box_pack_start(GTK_BOX(row), icon, FALSE, FALSE, 0);
  GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  GtkWidget* heading = label(title.c_str(), 1.15, PANGO_WEIGHT_BOLD, 1);
  GtkWidget* body = gtk_label_new(text.c_str());
  gtk_label_set_line_wrap(GTK_LABEL(body), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(body), 48);
  for (GtkWidget* l : {heading, body}) {
    gtk_label_set_xalign(GTK_LABEL(l), 0);
    gtk_label_set_justify(GTK_LABEL(l), GTK_JUSTIFY_LEFT);
    gtk_box_pack_start(GTK_BOX(texts), l, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(row), texts, TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), row);
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, gint, gpointer data) {
                     g_signal_handlers_disconnect_by_data(d, data);
                     gtk_widget_destroy(GTK_WIDGET(d));
                     static_cast<Alert*>(data)->done.set_value();
                   }),
                   alert);
  gtk_widget_show_all(dialog);
  gtk_window_present(GTK_WINDOW(dialog));
}

void showAlert(const std::string& title, const std::string& text, bool warning) {
  Alert alert;
  auto done = alert.done.get_future();
  onMainLoop([&alert, title, text, warning] { buildAlert(&alert, title, text, warning); });
  done.wait();
}

}  // namespace

std::optional<std::string> QuickAssistWindow::askForCode() {
  CodePrompt prompt;
  auto answer = prompt.answer.get_future();
  onMainLoop([&prompt] { buildCodeWindow(&prompt); });
  return answer.get();
}

void QuickAssistWindow::showError(const std::string& text) { showAlert(kErrorTitle, text, true); }

void QuickAssistWindow::showInfo(const std::string& text, const std::string& title) {
  showAlert(title, text, false);
}

}  // namespace vela
