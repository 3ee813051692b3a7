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

namespace vela::UninstallScript {

inline constexpr std::string_view kSystemUnit = "vela-agent.service";
inline constexpr std::string_view kDesktopUnit = "vela-agent-desktop.service";

// Where the agent's own installer puts its files, below `root` ("" on a live system).
struct InstalledFiles {
  std::string executable;
  std::string systemUnit;
  std::string desktopUnit;

  static InstalledFiles under(std::string_view root);
};

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

// 'text', each ' inside written as '\''.
std::string singleQuoted(std::string_view text);

}  // namespace vela::UninstallScript
