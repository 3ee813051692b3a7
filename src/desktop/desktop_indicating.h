#pragma once

// The banner that tells the person at the machine that a remote session is running.
// Both calls may come from any thread; the window work happens on the UI main loop. The
// callbacks run there too, or, when a window host shows the banner, on the thread that
// reads its answers: never on the caller's own.

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
  // The person at the screen asks to end the session: the banner's "Beenden" button or
  // its keyboard shortcut. Called on the UI main loop. REQUIRES: set before show().
  using EndRequested = std::function<void()>;
  virtual void setOnEndRequested(EndRequested callback) = 0;
};

// Why a session ended when the person at the screen ended it; the operator reads it in
// the session's close.
inline constexpr const char* kEndedByUserReason = "ended_by_user";

// What the banner says unless the session configures another text.
inline constexpr const char* kDefaultIndicatorText = "Fernzugriff aktiv · Aufzeichnung läuft";

}  // namespace vela
