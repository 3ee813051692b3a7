#include "ui/onboarding_windows.h"

#include <gtk/gtk.h>

#include <future>

#include "ui/alert_dialog.h"
#include "ui/code_prompt.h"
#include "ui/main_loop.h"
#include "ui/styled_label.h"

namespace vela {
namespace {

using Action = OnboardingWindows::Action;

constexpr const char* kConfigTitle = "Vela Agent – Konfiguration";

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

GtkWidget* withAction(GtkWidget* button, Modal* modal, Action action) {
  g_object_set_data(G_OBJECT(button), "vela-action", GINT_TO_POINTER(static_cast<int>(action)));
  g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer data) {
                     auto action = static_cast<Action>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(b), "vela-action")));
                     end(static_cast<Modal*>(data), action);
                   }),
                   modal);
  return button;
}

// A window laid out by its content; Escape cancels, and closing it from the title bar
// counts as a cancel too. Returns the vertical box to fill.
GtkWidget* window(Modal* modal, const char* name, const char* title) {
  modal->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWindow* w = GTK_WINDOW(modal->window);
  gtk_widget_set_name(modal->window, name);
  gtk_window_set_title(w, title);
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
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_container_set_border_width(GTK_CONTAINER(box), 20);
  gtk_container_add(GTK_CONTAINER(modal->window), box);
  return box;
}

// The bottom row: the link at the left, the buttons at the right in the given order;
// the last is the default, which Return takes.
void bottomRow(GtkWidget* box, Modal* modal, const char* link,
               std::initializer_list<std::pair<const char*, Action>> buttons) {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
  gtk_widget_set_margin_top(row, 12);
  gtk_box_pack_start(GTK_BOX(row), withAction(linkButton(link), modal, Action::toggle), FALSE, FALSE, 0);
  GtkWidget* right = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  GtkWidget* last = nullptr;
  for (const auto& [title, action] : buttons) {
    last = withAction(actionButton(title), modal, action);
    gtk_box_pack_start(GTK_BOX(right), last, FALSE, FALSE, 0);
  }
  gtk_box_pack_end(GTK_BOX(row), right, FALSE, FALSE, 0);
  gtk_widget_set_can_default(last, TRUE);
  gtk_window_set_default(GTK_WINDOW(modal->window), last);
  gtk_style_context_add_class(gtk_widget_get_style_context(last), "suggested-action");
  gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
}

void show(Modal* modal) {
  gtk_widget_show_all(modal->window);
  gtk_window_present_with_time(GTK_WINDOW(modal->window), GDK_CURRENT_TIME);
}

void buildCodeWindow(Modal* modal) {
  GtkWidget* box = window(modal, GtkOnboardingWindows::kCodeWindowName, "Vela Fernwartung");
  gtk_box_pack_start(GTK_BOX(box), codePromptContent(500, &modal->codeField), TRUE, TRUE, 0);
  bottomRow(box, modal, "Konfiguration hinterlegen…", {{"Abbrechen", Action::cancel}, {"Verbinden", Action::connect}});
  show(modal);
  keepExampleVisible(modal->window, modal->codeField);
}

void buildConfigWindow(Modal* modal, const std::string& prefillJSON) {
  GtkWidget* box = window(modal, GtkOnboardingWindows::kConfigWindowName, kConfigTitle);
  const LabelStyle field{13, PANGO_WEIGHT_NORMAL, 1, false, 0};
  gtk_box_pack_start(GTK_BOX(box),
                     styledLabel("Provisioning-/Config-JSON (aus /rmm → „Agent-Konfig (JSON)“):", field), FALSE,
                     FALSE, 0);
  modal->jsonView = gtk_text_view_new();
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(modal->jsonView), TRUE);
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(modal->jsonView), GTK_WRAP_CHAR);
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(modal->jsonView)), prefillJSON.c_str(), -1);
  GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroll), GTK_SHADOW_IN);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
  gtk_widget_set_size_request(scroll, 500, 190);
  gtk_container_add(GTK_CONTAINER(scroll), modal->jsonView);
  gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
  GtkWidget* tokenLabel = styledLabel("Enrollment-Token (optional, falls nicht im JSON):", field);
  gtk_widget_set_margin_top(tokenLabel, 6);
  gtk_box_pack_start(GTK_BOX(box), tokenLabel, FALSE, FALSE, 0);
  modal->tokenField = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(modal->tokenField), "Token");
  gtk_entry_set_activates_default(GTK_ENTRY(modal->tokenField), TRUE);
  gtk_box_pack_start(GTK_BOX(box), modal->tokenField, FALSE, FALSE, 0);
  bottomRow(box, modal, "← Quick Assist",
            {{"Abbrechen", Action::cancel}, {"Nur Sitzung", Action::connect}, {"Installieren", Action::install}});
  show(modal);
  gtk_widget_grab_focus(modal->jsonView);
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
  runAlert(kAlertName, {kConfigTitle, message, informative}, warning);
}

}  // namespace vela
