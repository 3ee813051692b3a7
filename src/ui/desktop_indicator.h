#pragma once

// DesktopIndicator is the GTK banner shown while a remote session runs: 460 × 40,
// centred 6 px below the top of the primary monitor's work area, red at 0.92 opacity
// with rounded corners, the logo and a bold white line of text. It never takes the
// pointer or the keyboard: clicks fall through to whatever lies below.
//
// show() and hide() may be called from any thread; the window is built and destroyed
// on the GLib main loop, and `window_` is touched only there.

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

  static constexpr int kWidth = 460;
  static constexpr int kHeight = 40;
  static constexpr int kTopMargin = 6;
  // The widget name, for styling and for finding the banner in tests.
  static constexpr const char* kWidgetName = "vela-desktop-indicator";

 private:
  DesktopIndicator() = default;
  bool showOnMainLoop(const std::string& text, const std::string& logoBase64);
  void hideOnMainLoop();

  GtkWidget* window_ = nullptr;  // main loop only
};

}  // namespace vela
