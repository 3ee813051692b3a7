#pragma once

// Where the agent's own installer puts the agent on a machine, shared by the installer
// and by self-removal so both always name the same files. Every path sits below `root`
// ("" on a live system; a scratch directory in tests).

#include <string>
#include <string_view>

namespace vela {

inline constexpr std::string_view kSystemUnit = "vela-agent.service";
inline constexpr std::string_view kDesktopUnit = "vela-agent-desktop.service";

struct InstalledFiles {
  std::string executable;
  std::string systemUnit;
  std::string desktopUnit;
  std::string stateDir;
  // The default logos, where the executable's ../share/vela-agent finds them.
  std::string shareDir;

  static InstalledFiles under(std::string_view root) {
    std::string base(root);
    while (!base.empty() && base.back() == '/') base.pop_back();
    return {base + "/usr/local/bin/vela-agent",
            base + "/etc/systemd/system/" + std::string(kSystemUnit),
            base + "/etc/systemd/user/" + std::string(kDesktopUnit),
            base + "/var/lib/vela-agent",
            base + "/usr/local/share/vela-agent"};
  }

  bool operator==(const InstalledFiles&) const = default;
};

}  // namespace vela
