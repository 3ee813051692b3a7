#pragma once

// The agent's dialogs (consent, alerts) stay above everything and centred: the person
// at the machine must not miss them behind another window.

#include <gtk/gtk.h>

#include <string>

namespace vela {

// A new, empty modal dialog named `widgetName` (tests find it by that name).
GtkWidget* newModalDialog(const char* widgetName, const std::string& title);

}  // namespace vela
