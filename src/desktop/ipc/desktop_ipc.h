#pragma once

// Where the root daemon and the per-user desktop helper meet.

#include <string>

namespace vela::DesktopIPC {

inline constexpr const char* kDefaultSocketPath = "/var/run/com.vela.agent.desktop.sock";
// Names another socket for both sides (a private daemon, tests).
inline constexpr const char* kSocketVariable = "VELA_DESKTOP_SOCKET";

// The path in effect: the one set last, else the variable's, else the default.
std::string socketPath();
void setSocketPath(std::string path);

}  // namespace vela::DesktopIPC
