#pragma once

// The shell lines that take the agent off the machine once its result is reported:
// stop and disable the system service and the desktop helper of every logged-in user
// and, when purging, remove what put the agent there: its Debian package, or else the
// files of the agent's own installer. Every step tolerates failure, so one missing
// piece never keeps the rest from going. Pure text; nothing here runs anything.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/installed_files.h"
#include "util/shell_quote.h"

namespace vela::UninstallScript {

using vela::InstalledFiles;
using vela::kDesktopUnit;
using vela::kSystemUnit;

struct Plan {
  bool purge = true;
  std::int64_t pid = 0;
  std::vector<std::string> loggedInUsers;
  // The Debian package that owns the running executable; absent when the agent's own
  // installer placed it.
  std::optional<std::string> package;
  InstalledFiles installed = InstalledFiles::under("");
};

std::vector<std::string> lines(const Plan& plan);
// The lines joined with "; ", for `sh -c`.
std::string text(const Plan& plan);

using vela::singleQuoted;

}  // namespace vela::UninstallScript
