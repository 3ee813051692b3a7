#include "ui/onboarding_windows.h"

#include <gtk/gtk.h>

#include <future>

#include "ui/desktop_branding.h"
#include "ui/main_loop.h"

namespace vela {
namespace {

using Action = OnboardingWindows::Action;

// One modal window until it ends: the action its button gave and what its fields held.
struct Modal {
  GtkWidget* window = nullptr;
  GtkWidget* codeField = nullptr;
  GtkWidget* jsonView = nullptr;
  GtkWidget* tokenField = nullptr;
  std::promise<OnboardingWindows::ConfigAnswer> done;
  bool ended = false;
};

std::string entryText(GtkWidget* entry) { return entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : ""; }

void end(Modal* modal, Action action) {
  if (modal->ended) return;
  modal->ended = true;
  OnboardingWindows::ConfigAnswer answer{action, "", ""};
  if (modal->codeField) answer.json = entryText(modal->codeField);
  if (modal->jsonView) {
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(modal->jsonView));
    GtkTextIter start, finish;
    gtk_text_buffer_get_bounds(buffer, &start, &finish);
    gchar* text = gtk_text_buffer_get_text(buffer, &start, &finish, FALSE);
    answer.json = text;
    g_free(text);
  }
  answer.token = entryText(modal->tokenField);
  gtk_widget_destroy(modal->window);
  modal->done.set_value(std::move(answer));
}

void applyCss(GtkWidget* widget, const char* css) {
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, css, -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(widget), GTK_STYLE_PROVIDER(provider),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

// The frames are given from the bottom left, as the windows were drawn; GTK counts from
// the top.
void place(GtkWidget* fixed, int height, GtkWidget* widget, int x, int y, int w, int h) {
  gtk_widget_set_size_request(widget, w, h);
  gtk_fixed_put(GTK_FIXED(fixed), widget, x, height - y - h);
}

GtkWidget* label(const char* text, const char* css, bool wrap = false) {
  GtkWidget* widget = gtk_label_new(text);
  gtk_label_set_justify(GTK_LABEL(widget), GTK_JUSTIFY_CENTER);
  if (wrap) {
    gtk_label_set_line_wrap(GTK_LABEL(widget), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(widget), 60);
  }
  applyCss(widget, css);
  return widget;
}

void connectAction(GtkWidget* button, Modal* modal, Action action) {
  g_object_set_data(G_OBJECT(button), "vela-action", GINT_TO_POINTER(static_cast<int>(action)));
  g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer data) {
                     auto action = static_cast<Action>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(b), "vela-action")));
                     end(static_cast<Modal*>(data), action);
                   }),
                   modal);
}

GtkWidget* button(GtkWidget* fixed, int height, Modal* modal, const char* title, Action action, int x) {
  GtkWidget* widget = gtk_button_new_with_label(title);
  connectAction(widget, modal, action);
  place(fixed, height, widget, x, 16, 110, 32);
  return widget;
}

GtkWidget* linkButton(GtkWidget* fixed, int height, Modal* modal, const char* title, int x, int y, int w,
                      int h) {
  GtkWidget* widget = gtk_button_new_with_label(title);
  gtk_button_set_relief(GTK_BUTTON(widget), GTK_RELIEF_NONE);
  // Styles reach only the widget they are added to, so the colour goes on the label.
  applyCss(gtk_bin_get_child(GTK_BIN(widget)), "label { color: #1a5fb4; }");
  connectAction(widget, modal, Action::toggle);
  place(fixed, height, widget, x, y, w, h);
  return widget;
}

// A window of the given content size and its fixed layout; Escape cancels, and closing it
// from the title bar counts as a cancel too.
GtkWidget* window(Modal* modal, const char* name, const char* title, int width, int height) {
  modal->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWindow* w = GTK_WINDOW(modal->window);
  gtk_widget_set_name(modal->window, name);
  gtk_window_set_title(w, title);
  gtk_window_set_default_size(w, width, height);
  gtk_window_set_resizable(w, FALSE);
  gtk_window_set_position(w, GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(w, TRUE);
  gtk_window_stick(w);
  gtk_window_set_modal(w, TRUE);
  g_signal_connect(modal->window, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     end(static_cast<Modal*>(data), Action::cancel);
                     return TRUE;
                   }),
                   modal);
  g_signal_connect(modal->window, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* key, gpointer data) -> gboolean {
                     if (key->keyval != GDK_KEY_Escape) return FALSE;
                     end(static_cast<Modal*>(data), Action::cancel);
                     return TRUE;
                   }),
                   modal);
  GtkWidget* fixed = gtk_fixed_new();
  gtk_widget_set_size_request(fixed, width, height);
  gtk_container_add(GTK_CONTAINER(modal->window), fixed);
  return fixed;
}

void makeDefault(Modal* modal, GtkWidget* button) {
  gtk_widget_set_can_default(button, TRUE);
  gtk_window_set_default(GTK_WINDOW(modal->window), button);
  gtk_style_context_add_class(gtk_widget_get_style_context(button), "suggested-action");
}

void show(Modal* modal, GtkWidget* focus) {
  gtk_widget_show_all(modal->window);
  gtk_window_present_with_time(GTK_WINDOW(modal->window), GDK_CURRENT_TIME);
  gtk_widget_grab_focus(focus);
}

void buildCodeWindow(Modal* modal) {
  constexpr int h = 300;
  GtkWidget* fixed = window(modal, GtkOnboardingWindows::kCodeWindowName, "Vela Fernwartung", 540, h);
  if (Pixbuf logo = DesktopBranding::defaultLogo()) {
    Pixbuf icon = scaledToFit(logo.get(), 64);
    place(fixed, h, gtk_image_new_from_pixbuf(icon.get()), 198, 224, 64, 64);
  }
  place(fixed, h, label("Support-Code eingeben", "label { font-weight: bold; font-size: 17px; }"), 20, 190,
        500, 25);
  place(fixed, h,
        label("Geben Sie den Code ein, den Ihnen der Support durchgegeben hat.",
              "label { font-size: 12px; opacity: 0.75; }"),
        20, 166, 500, 20);
  modal->codeField = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(modal->codeField), "z. B. 123 456 789");
  gtk_entry_set_alignment(GTK_ENTRY(modal->codeField), 0.5);
  gtk_entry_set_activates_default(GTK_ENTRY(modal->codeField), TRUE);
  applyCss(modal->codeField,
           "entry { font-family: monospace; font-size: 22px; font-weight: 600; "
           "font-feature-settings: \"tnum\"; }");
  place(fixed, h, modal->codeField, 80, 118, 300, 34);
  place(fixed, h,
        label("Mit dem Verbinden erlauben Sie die Fernsteuerung Ihres Bildschirms. Die Sitzung wird "
              "sichtbar angezeigt und aufgezeichnet.",
              "label { font-size: 11px; opacity: 0.55; }", true),
        30, 74, 400, 36);
  makeDefault(modal, button(fixed, h, modal, "Verbinden", Action::connect, 330));
  button(fixed, h, modal, "Abbrechen", Action::cancel, 210);
  linkButton(fixed, h, modal, "Konfiguration hinterlegen…", 20, 18, 210, 28);
  show(modal, modal->codeField);
}

void buildConfigWindow(Modal* modal, const std::string& prefillJSON) {
  constexpr int h = 380;
  GtkWidget* fixed =
      window(modal, GtkOnboardingWindows::kConfigWindowName, "Vela Agent – Konfiguration", 540, h);
  GtkWidget* heading = label("Provisioning-/Config-JSON (aus /rmm → „Agent-Konfig (JSON)“):", "label {}");
  gtk_label_set_xalign(GTK_LABEL(heading), 0);
  place(fixed, h, heading, 20, 348, 500, 18);
  modal->jsonView = gtk_text_view_new();
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(modal->jsonView), TRUE);
  applyCss(modal->jsonView, "textview { font-size: 11px; }");
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(modal->jsonView)), prefillJSON.c_str(), -1);
  GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
  gtk_container_add(GTK_CONTAINER(scroll), modal->jsonView);
  place(fixed, h, scroll, 20, 150, 500, 190);
  GtkWidget* tokenLabel = label("Enrollment-Token (optional, falls nicht im JSON):", "label {}");
  gtk_label_set_xalign(GTK_LABEL(tokenLabel), 0);
  place(fixed, h, tokenLabel, 20, 120, 500, 18);
  modal->tokenField = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(modal->tokenField), "Token");
  gtk_entry_set_activates_default(GTK_ENTRY(modal->tokenField), TRUE);
  place(fixed, h, modal->tokenField, 20, 92, 500, 24);
  makeDefault(modal, button(fixed, h, modal, "Installieren", Action::install, 410));
  button(fixed, h, modal, "Nur Sitzung", Action::connect, 290);
  button(fixed, h, modal, "Abbrechen", Action::cancel, 170);
  linkButton(fixed, h, modal, "← Quick Assist", 20, 20, 140, 28);
  show(modal, modal->jsonView);
}

OnboardingWindows::ConfigAnswer presentModal(const std::function<void(Modal*)>& build) {
  Modal modal;
  auto answer = modal.done.get_future();
  onMainLoop([&modal, &build] { build(&modal); });
  return answer.get();
}

}  // namespace

OnboardingWindows::CodeAnswer GtkOnboardingWindows::presentQuickAssist() {
  auto answer = presentModal(buildCodeWindow);
  return {answer.action, std::move(answer.json)};
}

OnboardingWindows::ConfigAnswer GtkOnboardingWindows::presentConfig(const std::string& prefillJSON) {
  return presentModal([&](Modal* modal) { buildConfigWindow(modal, prefillJSON); });
}

void GtkOnboardingWindows::alert(const std::string& message, const std::string& informative, bool warning) {
  std::promise<void> closed;
  auto done = closed.get_future();
  onMainLoop([&] {
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL,
                                               warning ? GTK_MESSAGE_WARNING : GTK_MESSAGE_INFO,
                                               GTK_BUTTONS_OK, "%s", message.c_str());
    gtk_widget_set_name(dialog, kAlertName);
    if (!informative.empty()) {
      gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", informative.c_str());
    }
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, gint, gpointer data) {
                       gtk_widget_destroy(GTK_WIDGET(d));
                       static_cast<std::promise<void>*>(data)->set_value();
                     }),
                     &closed);
    gtk_widget_show_all(dialog);
    gtk_window_present_with_time(GTK_WINDOW(dialog), GDK_CURRENT_TIME);
  });
  done.get();
}

}  // namespace vela
