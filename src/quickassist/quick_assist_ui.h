#pragma once

// The attended support flow's windows as the command sees them: the code prompt, the
// session window and the two alerts, shown by the desktop module. With VELA_NO_UI set,
// or where no window can be shown, nothing appears: askForCode gives nothing, there is
// no session window and the alerts go to the log (errors at warning level, information
// at info level). Callable from any thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "desktop/quick_assist_windows.h"

namespace vela::QuickAssistUI {

// The digits the person entered (every other character dropped), or nothing when they
// cancelled or entered no digit.
std::optional<std::string> askForCode();
// The session window, or nothing where no window can be shown; `end` runs on the UI
// main loop when the person presses its button.
std::shared_ptr<QuickAssistSessionWindow> openSession(std::function<void()> end);
void showError(const std::string& text);
void showInfo(const std::string& text, const std::string& title);

// Only the characters 0-9 of `text`, in their order.
std::string digitsOnly(const std::string& text);

}  // namespace vela::QuickAssistUI
