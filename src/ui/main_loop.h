#pragma once

// Window work belongs to the thread that runs the GLib main loop. onMainLoop() hands a
// task to that loop from any thread; it runs at once when the caller already is that
// thread, otherwise at the loop's next turn.

#include <functional>

namespace vela {

void onMainLoop(std::function<void()> task);

}  // namespace vela
