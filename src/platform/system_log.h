#pragma once

// The platform's system log (journald on Linux). Best effort: a machine without it
// loses only this copy of each line.

#include <string_view>

namespace vela::platform {

enum class SystemLogType { debug, info, error };

void writeSystemLog(SystemLogType type, std::string_view message);

}  // namespace vela::platform
