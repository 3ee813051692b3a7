#pragma once

// DesktopIndicator is the GTK banner shown while a remote session runs: 460 × 40,
// centred 6 px below the top of the primary monitor's work area, red at 0.92 opacity
// with rounded corners, the logo, a bold white line of text and one small button,
// "Beenden", with which the person at the screen ends the session (Ctrl+Alt+End does
// the same from the keyboard). Only the button takes the pointer: every other click
// falls through to whatever lies below. The banner never takes the keyboard focus.
//
// show() and hide() may be called from any thread; the window is built and destroyed
// on the GLib main loop, and the members below are touched only there.

#include <memory>
#include <string>

#include "desktop/desktop_indicating.h"

typedef struct _GtkWidget GtkWidget;

namespace vela {

class DesktopIndicator : public DesktopIndicating,
                         public std::enable_shared_from_this<DesktopIndicator> {
 public:
  static std::shared_ptr<DesktopIndicator> create();
  ~DesktopIndicator() override;

  void show(const std::string& text, const std::string& logoBase64, Shown shown = {}) override;
  void hide() override;
  void setOnEndRequested(EndRequested callback) override { onEnd_ = std::move(callback); }

  static constexpr int kWidth = 460;
  static constexpr int kHeight = 40;
  static constexpr int kTopMargin = 6;
  // The button sits at the right end, this far from it, and is at least this wide.
  static constexpr int kButtonMargin = 7;
  static constexpr int kButtonMinWidth = 84;
  static constexpr const char* kButtonLabel = "Beenden";
  // The widget name, for styling and for finding the banner in tests.
  static constexpr const char* kWidgetName = "vela-desktop-indicator";

 private:
  DesktopIndicator() = default;
  bool showOnMainLoop(const std::string& text, const std::string& logoBase64);
  void hideOnMainLoop();
  void endRequested();

  EndRequested onEnd_;  // set before show(), read on the main loop
  GtkWidget* window_ = nullptr;
  int shortcut_ = 0;
};

}  // namespace vela
