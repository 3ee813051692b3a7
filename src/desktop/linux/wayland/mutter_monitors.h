#pragma once

// The monitors of a GNOME session as mutter's DisplayConfig lists them: one per logical
// monitor, in its order, with the connector screen casts name it by. Display ids are
// positions in that list. A monitor's size is its screen cast's: the current mode in
// device pixels, turned as the monitor is, whatever its scale (mutter casts the pixels it
// renders, and input on the stream is in the same pixels); its position is the layout's.
// Stateless.

#include <gio/gio.h>

#include <optional>
#include <string>
#include <vector>

#include "desktop/screen_types.h"
#include "util/agent_error.h"

namespace vela::mutter {

struct Monitor {
  Displays::Info info;
  std::string connector;
  double scale = 1;
};

Result<std::vector<Monitor>> currentMonitors(GDBusConnection* bus);
// Reads GetCurrentState's reply; separate so a test can give it any layout.
std::vector<Monitor> monitorsFromState(GVariant* state);

// What became of `captured` in the layout `now`, in words, or nothing when it is as it
// was. A monitor gone or of another size ends a capture of it; one that only moved or
// changed its scale does not: its stream and the positions input gives in it stay as
// they were (mutter may still close the stream itself).
struct Change {
  std::string what;
  bool endsCapture = false;
};
std::optional<Change> changeOf(const Monitor& captured, const std::vector<Monitor>& now);

}  // namespace vela::mutter
