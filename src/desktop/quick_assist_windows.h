#pragma once

// The windows of the attended support flow, made by the desktop module (GTK): the code
// entry window and two alerts. Each call may come from any thread and returns once the
// person has answered; the window work happens on the UI main loop.

#include <optional>
#include <string>

namespace vela {

class QuickAssistWindows {
 public:
  static constexpr const char* kCodeWindowTitle = "Vela Fernwartung";
  static constexpr const char* kErrorTitle = "Fernwartung – Verbindung fehlgeschlagen";

  virtual ~QuickAssistWindows() = default;
  // The field's text as typed, or nothing when the person cancelled.
  virtual std::optional<std::string> askForCode() = 0;
  virtual void showError(const std::string& text) = 0;
  virtual void showInfo(const std::string& text, const std::string& title) = 0;
};

}  // namespace vela
