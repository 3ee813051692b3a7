#pragma once

// Every location in the agent's state directory, and the one write routine for
// security-relevant files. Paths are computed on every call so VELA_STATE_DIR changes
// take effect at once.

#include <string>
#include <string_view>

#include "util/agent_error.h"

namespace vela::AgentPaths {

std::string stateDir();
std::string configFile();
std::string certFile();
std::string replayStateFile();
std::string pinnedDir();
std::string pinnedCACert();
std::string pinnedSPKI();
std::string pinnedCommandKey();
std::string pinnedUpdateKey();
std::string deviceKeyFile();
std::string policyFile();
// The running daemon's own account of itself: /run/vela-agent/status.json for the
// system state directory, else "status.json" inside the state directory.
std::string runtimeStatusFile();
// Where desktop sessions are recorded: "recordings" in the state directory when
// VELA_STATE_DIR is set or for root, otherwise the user's
// ${XDG_STATE_HOME:-$HOME/.local/state}/vela-agent/recordings, which, unlike the
// temporary directory, survives a reboot.
std::string recordingsDir();
inline constexpr std::string_view kSystemStateDir = "/var/lib/vela-agent";
inline constexpr std::string_view kSystemRuntimeDir = "/run/vela-agent";
// A file directly inside the state directory.
std::string file(std::string_view name);
bool isRoot();

// Creates the state directory (mode 0700) when it does not exist.
Result<std::string> ensureStateDir();

// Atomic, durable, owner-only (0600) write through "<target>.tmp-<pid>". Inside the
// state directory no symbolic link below it is followed.
Result<void> writeProtected(std::string_view data, const std::string& target);

// Reads a file; inside the state directory without following a symbolic link below it.
Result<std::string> readStateFile(const std::string& path);

// For a daemon with root rights: the state directory and its pinned directory, where
// they exist, must belong to this user and be writable by nobody else, or whoever
// controls them controls the agent's identity and trust. The error says which and why.
Result<void> checkStateDirOwnership();

// Removes "<name>.tmp-<pid>" files that a killed writer left in the state directory and
// its pinned directory (they may hold a whole private key); a file of a writer that is
// still running stays.
void removeStaleTemporaries();

}  // namespace vela::AgentPaths
