#pragma once

// The agent's alerts: a modal dialog above everything with a window title, an icon (the
// warning sign for a failure, the agent's logo for information), a bold heading, the
// text and one "OK" (Return or Escape answer it too).

#include <string>

namespace vela {

struct AlertText {
  std::string title;    // the window's title
  std::string heading;  // the first, bold line
  std::string text;     // may be empty
};

// Shows the alert on the UI main loop and returns once it was answered.
// REQUIRES: not called on the main loop's own thread.
void runAlert(const char* widgetName, const AlertText& alert, bool warning);

}  // namespace vela
