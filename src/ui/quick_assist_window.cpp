#include "ui/quick_assist_window.h"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>

#include <future>

#include "ui/alert_dialog.h"
#include "ui/code_prompt.h"
#include "ui/main_loop.h"
#include "ui/quick_assist_session_window.h"

namespace vela {
namespace {

constexpr int kContentWidth = 420;

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
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_container_set_border_width(GTK_CONTAINER(box), 20);
  gtk_box_pack_start(GTK_BOX(box), codePromptContent(kContentWidth, &prompt->field), TRUE, TRUE, 0);

  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_widget_set_halign(buttons, GTK_ALIGN_END);
  gtk_widget_set_margin_top(buttons, 12);
  GtkWidget* cancel = actionButton("Abbrechen");
  GtkWidget* connect = actionButton("Verbinden");
  gtk_box_pack_start(GTK_BOX(buttons), cancel, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(buttons), connect, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
  gtk_style_context_add_class(gtk_widget_get_style_context(connect), "suggested-action");
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

  gtk_container_add(GTK_CONTAINER(window), box);
  gtk_widget_show_all(window);
  gtk_window_present(GTK_WINDOW(window));
  keepExampleVisible(window, prompt->field);
}

}  // namespace

std::optional<std::string> QuickAssistWindow::askForCode() {
  CodePrompt prompt;
  auto answer = prompt.answer.get_future();
  onMainLoop([&prompt] { buildCodeWindow(&prompt); });
  return answer.get();
}

std::shared_ptr<QuickAssistSessionWindow> QuickAssistWindow::openSession(std::function<void()> end) {
  return GtkQuickAssistSessionWindow::open(kSessionWindowName, std::move(end));
}

void QuickAssistWindow::showError(const std::string& text) {
  runAlert(kAlertName, {kErrorTitle, kErrorTitle, text}, true);
}

void QuickAssistWindow::showInfo(const std::string& text, const std::string& title) {
  runAlert(kAlertName, {title, title, text}, false);
}

}  // namespace vela
