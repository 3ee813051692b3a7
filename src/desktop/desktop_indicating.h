#pragma once

// The banner that tells the person at the machine that a remote session is running.
// Both calls may come from any thread; the window work happens on the UI main loop.

#include <functional>
#include <string>

namespace vela {

class DesktopIndicating {
 public:
  virtual ~DesktopIndicating() = default;
  // Told whether the banner is on screen; called at most once, on the UI main loop (never
  // when the window system went away before the banner could be built).
  using Shown = std::function<void(bool onScreen)>;
  // An empty or unusable logo falls back to the default logo.
  virtual void show(const std::string& text, const std::string& logoBase64, Shown shown = {}) = 0;
  virtual void hide() = 0;
};

// What the banner says unless the session configures another text.
inline constexpr const char* kDefaultIndicatorText = "Fernzugriff aktiv · Aufzeichnung läuft";

}  // namespace vela
