#pragma once

// The platform's system log (journald on Linux). Best effort: a machine without it
// loses only this copy of each line. Each level keeps its syslog priority.

#include <string_view>

#include "util/log.h"

namespace vela::platform {

void writeSystemLog(Log::Level level, std::string_view message);

}  // namespace vela::platform
