#pragma once

// The quick-assist session window: from the entered code until the session ends it
// says what is happening ("Warte auf den Support…" with the step under way, then that
// the session runs and how to end it) and offers one button, "Abbrechen" while waiting
// and "Beenden" once connected. Closing the window presses that button.
//
// The calls may come from any thread; the widgets live on the UI main loop and are
// touched only there. Dropping the last reference closes the window.

#include <functional>
#include <memory>
#include <string>

#include "desktop/quick_assist_windows.h"

typedef struct _GtkWidget GtkWidget;

namespace vela {

class GtkQuickAssistSessionWindow final : public QuickAssistSessionWindow,
                                          public std::enable_shared_from_this<GtkQuickAssistSessionWindow> {
 public:
  // `end` runs on the main loop, at most once.
  static std::shared_ptr<GtkQuickAssistSessionWindow> open(const char* widgetName, std::function<void()> end);
  ~GtkQuickAssistSessionWindow() override;

  void waiting(const std::string& status) override;
  void running() override;
  void close() override;

 private:
  explicit GtkQuickAssistSessionWindow(std::function<void()> end) : end_(std::move(end)) {}
  void build(const char* widgetName);
  void pressed();

  // Main loop only.
  std::function<void()> end_;
  GtkWidget* window_ = nullptr;
  GtkWidget* heading_ = nullptr;
  GtkWidget* spinner_ = nullptr;
  GtkWidget* status_ = nullptr;
  GtkWidget* details_ = nullptr;
  GtkWidget* button_ = nullptr;
};

}  // namespace vela
