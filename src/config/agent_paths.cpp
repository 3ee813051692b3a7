#include "config/agent_paths.h"

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <utility>

#include "platform/file_io.h"
#include "platform/pty.h"

namespace vela::AgentPaths {
namespace {

// The part of `path` below the state directory, or absent for a path elsewhere.
std::optional<std::string_view> belowStateDir(const std::string& dir, std::string_view path) {
  if (dir.empty() || path.size() <= dir.size() + 1 || !path.starts_with(dir) ||
      path[dir.size()] != '/') {
    return std::nullopt;
  }
  return path.substr(dir.size() + 1);
}

Result<void> checkOwnDirectory(const std::string& dir, bool followLinks) {
  auto info = VELA_TRY(platform::fileInfo(dir, followLinks));
  if (!info) return {};
  auto refuse = [&](const std::string& why) {
    return fail("refusing state directory " + dir + ": " + why +
                "; it must be a directory owned by uid " +
                std::to_string(platform::effectiveUser()) +
                " and writable by nobody else (chown and chmod 700 it)");
  };
  if (info->symlink) return refuse("it is a symbolic link");
  if (!info->directory) return refuse("it is not a directory");
  if (info->owner != platform::effectiveUser())
    return refuse("it is owned by uid " + std::to_string(info->owner));
  if ((info->mode & 022) != 0) return refuse("it is writable by group or others");
  return {};
}

bool isStaleTemporary(std::string_view name) {
  auto mark = name.rfind(".tmp-");
  if (mark == std::string_view::npos || mark == 0) return false;
  std::string_view digits = name.substr(mark + 5);
  if (digits.empty() || digits.size() > 9) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  pid_t pid = static_cast<pid_t>(std::stol(std::string(digits)));
  return pid == ::getpid() || !platform::processExists(pid);
}

// "/tmp/x/" names the same folder as "/tmp/x"; its files must not read "/tmp/x//…".
std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string stateDir() {
  // An empty value is a mistake in a unit file or script, not a request for "/".
  if (const char* dir = std::getenv("VELA_STATE_DIR"); dir && *dir) return withoutTrailingSlashes(dir);
  if (isRoot()) return std::string(kSystemStateDir);
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return withoutTrailingSlashes(xdg) + "/vela-agent";
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
std::string runtimeStatusFile() {
  // The system agent keeps what lives only while it runs where such files belong; any
  // other state directory (a user's, a test's) keeps it beside its other files.
  if (stateDir() == kSystemStateDir) return std::string(kSystemRuntimeDir) + "/status.json";
  return file("status.json");
}
std::string recordingsDir() {
  const char* override = std::getenv("VELA_STATE_DIR");
  if ((override && *override) || isRoot()) return file("recordings");
  const char* xdg = std::getenv("XDG_STATE_HOME");
  if (xdg && *xdg == '/') return withoutTrailingSlashes(xdg) + "/vela-agent/recordings";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + "/.local/state/vela-agent/recordings";
}
bool isRoot() { return ::getuid() == 0; }

Result<std::string> ensureStateDir() {
  std::string dir = stateDir();
  if (!platform::fileExists(dir)) VELA_TRY_VOID(platform::makeDirectories(dir, 0700));
  return dir;
}

Result<void> writeProtected(std::string_view data, const std::string& target) {
  std::string dir = VELA_TRY(ensureStateDir());
  std::string suffix = ".tmp-" + std::to_string(::getpid());
  if (auto relative = belowStateDir(dir, target)) {
    return platform::writeFileDurablyBeneath(dir, *relative, suffix, data, 0600);
  }
  return platform::writeFileDurably(target, target + suffix, data, 0600);
}

Result<std::string> readStateFile(const std::string& path) {
  std::string dir = stateDir();
  if (auto relative = belowStateDir(dir, path)) return platform::readFileBeneath(dir, *relative);
  return platform::readFile(path);
}

Result<void> checkStateDirOwnership() {
  VELA_TRY_VOID(checkOwnDirectory(stateDir(), /*followLinks=*/true));
  return checkOwnDirectory(pinnedDir(), /*followLinks=*/false);
}

void removeStaleTemporaries() {
  // The state directory may be an administrator's link; pinned/ never is.
  for (const auto& [dir, followLinks] :
       {std::pair(stateDir(), true), std::pair(pinnedDir(), false)}) {
    auto info = platform::fileInfo(dir, followLinks);
    if (!info || !*info || !(*info)->directory) continue;
    auto names = platform::listDirectory(dir);
    if (!names) continue;
    for (const std::string& name : *names) {
      if (isStaleTemporary(name)) (void)platform::removeFile(dir + "/" + name);
    }
  }
}

}  // namespace vela::AgentPaths
