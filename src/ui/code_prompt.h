#pragma once

// What both support-code windows show (quick assist's own and the first-start one): the
// logo when there is one, "Support-Code eingeben", the subtitle, the code field with its
// example "z. B. 123 456 789", and the notice that connecting allows remote control.
// Main loop only.

#include <gtk/gtk.h>

namespace vela {

// A vertical box at least `width` wide; *field receives the code entry.
GtkWidget* codePromptContent(int width, GtkWidget** field);

// Call once `window` is shown. GTK hides an entry's placeholder while the entry has the
// focus, so the focus stays off the field (Return still activates the default button)
// until the person clicks into it, tabs to it or simply starts typing.
void keepExampleVisible(GtkWidget* window, GtkWidget* field);

// A button of the bottom row: at least 110 wide.
GtkWidget* actionButton(const char* title);
// A borderless button in the link colour that switches between the windows.
GtkWidget* linkButton(const char* title);

}  // namespace vela
