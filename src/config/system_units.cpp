#include "config/system_units.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace vela::SystemUnits {

std::string execWord(std::string_view path) {
  auto plain = [](unsigned char c) {
    return std::isalnum(c) || std::string_view("/._+-,:@").find(char(c)) != std::string_view::npos;
  };
  if (!path.empty() && std::all_of(path.begin(), path.end(), plain)) return std::string(path);
  std::string out = "\"";
  for (unsigned char c : path) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '%' || c == '$') {
      out += static_cast<char>(c);
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string systemUnit(std::string_view execPath, std::string_view stateDir) {
  const std::string state(stateDir);
  return "[Unit]\n"
         "Description=Vela Agent\n"
         "Documentation=man:vela-agent(8)\n"
         "Wants=network-online.target\n"
         "After=network-online.target\n"
         "StartLimitIntervalSec=0\n"
         // Either file is enough: "|" makes the two conditions alternatives.
         "ConditionPathExists=|" + state + "/config.json\n"
         "ConditionPathExists=|" + state + "/provisioning.json\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + execWord(execPath) + " run\n"
         "Restart=always\n"
         // A configuration the daemon cannot use stays unusable until someone edits it.
         "RestartPreventExitStatus=78\n"
         "RestartSec=10\n"
         // Enrolment comes before readiness; its requests time out after 30 s each.
         "TimeoutStartSec=5min\n"
         // Well above the longest wait between two turns of the loop.
         "WatchdogSec=3min\n"
         "User=root\n"
         "UMask=0077\n"
         // The journal is the log: it rotates, and each line keeps its priority.
         "StandardOutput=journal\n"
         "StandardError=journal\n"
         "LockPersonality=yes\n"
         "RestrictRealtime=yes\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

std::string desktopUnit(std::string_view execPath) {
  return "[Unit]\n"
         "Description=Vela Agent desktop helper\n"
         "Documentation=man:vela-agent(8)\n"
         "PartOf=graphical-session.target\n"
         "After=graphical-session.target\n"
         "\n"
         "[Service]\n"
         "ExecStart=" + execWord(execPath) + " desktop-agent\n"
         "UMask=0077\n"
         "Restart=always\n"
         "RestartSec=10\n"
         "\n"
         "[Install]\n"
         "WantedBy=graphical-session.target\n";
}

}  // namespace vela::SystemUnits
