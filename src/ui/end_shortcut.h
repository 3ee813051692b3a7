#pragma once

// Ctrl+Alt+End ends the remote sessions whose banner is on screen, for a person who
// cannot or does not use the mouse: the banner never takes the keyboard focus from the
// person's own work, so the key is grabbed on the X root window for as long as a banner
// shows. One key for every banner; each registered end runs. Main loop only.

#include <functional>

namespace vela::EndShortcut {

// As the person at the screen reads it (a German keyboard labels the keys so).
inline constexpr const char* kLabel = "Strg+Alt+Ende";

// `end` runs on the main loop at each press until remove(id); the first registration
// grabs the key, the last removal lets it go. Without an X display nothing is grabbed.
int add(std::function<void()> end);
void remove(int id);

}  // namespace vela::EndShortcut
