#pragma once

// The windows of the attended support flow, made by the desktop module (GTK): the code
// entry window, the session window and two alerts. Each call may come from any thread;
// the window work happens on the UI main loop.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vela {

// The window that stays from the entered code to the end of the session: it says what
// is happening and offers one button that stops it. Thread-safe; closed when dropped.
class QuickAssistSessionWindow {
 public:
  static constexpr const char* kWaitingHeading = "Warte auf den Support…";
  static constexpr const char* kRunningHeading = "Die Fernwartung läuft";
  static constexpr const char* kRunningText =
      "Der Support sieht Ihren Bildschirm und kann ihn bedienen. Die Sitzung wird aufgezeichnet.";
  static constexpr const char* kEndHint = "Sie können die Fernwartung jederzeit hier, mit „Beenden“ im roten "
                                          "Hinweis oben am Bildschirm oder mit Strg+Alt+Ende beenden.";

  virtual ~QuickAssistSessionWindow() = default;
  // Setting up: `status` is the step under way; the button cancels.
  virtual void waiting(const std::string& status) = 0;
  // The operator is connected; the button ends the session.
  virtual void running() = 0;
  virtual void close() = 0;
};

class QuickAssistWindows {
 public:
  static constexpr const char* kCodeWindowTitle = "Vela Fernwartung";
  static constexpr const char* kErrorTitle = "Fernwartung – Verbindung fehlgeschlagen";

  virtual ~QuickAssistWindows() = default;
  // The field's text as typed, or nothing when the person cancelled.
  virtual std::optional<std::string> askForCode() = 0;
  // Opens the session window, showing `waiting` with no status yet; `end` runs on the UI
  // main loop when the person presses its button or closes it.
  virtual std::shared_ptr<QuickAssistSessionWindow> openSession(std::function<void()> end) = 0;
  virtual void showError(const std::string& text) = 0;
  virtual void showInfo(const std::string& text, const std::string& title) = 0;
};

}  // namespace vela
