#pragma once

// The monitors of a GNOME session as mutter's DisplayConfig lists them: one per logical
// monitor, in its order, with the connector screen casts name it by. Display ids are
// positions in that list. Stateless.

#include <gio/gio.h>

#include <string>
#include <vector>

#include "desktop/screen_types.h"
#include "util/agent_error.h"

namespace vela::mutter {

struct Monitor {
  Displays::Info info;
  std::string connector;
};

Result<std::vector<Monitor>> currentMonitors(GDBusConnection* bus);
// Reads GetCurrentState's reply; separate so a test can give it any layout.
std::vector<Monitor> monitorsFromState(GVariant* state);

}  // namespace vela::mutter
