#include "config/agent_paths.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/file_io.h"

namespace vela::AgentPaths {

std::string stateDir() {
  if (const char* dir = std::getenv("VELA_STATE_DIR")) return dir;
  if (isRoot()) return "/var/lib/vela-agent";
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/vela-agent";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.local/share/vela-agent";
}

std::string file(std::string_view name) { return stateDir() + "/" + std::string(name); }
std::string configFile() { return file("config.json"); }
std::string certFile() { return file("agent.crt"); }
std::string replayStateFile() { return file("replay.json"); }
std::string pinnedDir() { return file("pinned"); }
std::string pinnedCACert() { return file("pinned/ca.pem"); }
std::string pinnedSPKI() { return file("pinned/spki_pins.txt"); }
std::string pinnedCommandKey() { return file("pinned/command_pubkey.b64"); }
std::string pinnedUpdateKey() { return file("pinned/update_pubkey.b64"); }
std::string deviceKeyFile() { return file("device.key"); }
std::string policyFile() { return file("policy.json"); }
bool isRoot() { return ::getuid() == 0; }

Result<std::string> ensureStateDir() {
  std::string dir = stateDir();
  if (!platform::fileExists(dir)) VELA_TRY_VOID(platform::makeDirectories(dir, 0700));
  return dir;
}

Result<void> writeProtected(std::string_view data, const std::string& target) {
  VELA_TRY(ensureStateDir());
  std::string temp = target + ".tmp-" + std::to_string(::getpid());
  return platform::writeFileDurably(target, temp, data, 0600);
}

}  // namespace vela::AgentPaths
