#pragma once

// The attended support flow's windows as the command sees them: the code prompt and the
// two alerts, shown by the desktop module. With VELA_NO_UI set, or where no window can
// be shown, nothing appears: askForCode gives nothing and the alerts go to the log
// (errors at warning level, information at info level). Callable from any thread.

#include <optional>
#include <string>

namespace vela::QuickAssistUI {

// The digits the person entered (every other character dropped), or nothing when they
// cancelled or entered no digit.
std::optional<std::string> askForCode();
void showError(const std::string& text);
void showInfo(const std::string& text, const std::string& title);

// Only the characters 0-9 of `text`, in their order.
std::string digitsOnly(const std::string& text);

}  // namespace vela::QuickAssistUI
