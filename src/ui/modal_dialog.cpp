#include "ui/modal_dialog.h"

namespace vela {

GtkWidget* newModalDialog(const char* widgetName, const std::string& title) {
  GtkWidget* dialog = gtk_dialog_new();
  gtk_widget_set_name(dialog, widgetName);
  GtkWindow* window = GTK_WINDOW(dialog);
  gtk_window_set_title(window, title.c_str());
  gtk_window_set_modal(window, TRUE);
  gtk_window_set_keep_above(window, TRUE);
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
  return dialog;
}

}  // namespace vela
