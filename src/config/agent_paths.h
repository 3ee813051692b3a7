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
// A file directly inside the state directory.
std::string file(std::string_view name);
bool isRoot();

// Creates the state directory (mode 0700) when it does not exist.
Result<std::string> ensureStateDir();

// Atomic, durable, owner-only (0600) write through "<target>.tmp-<pid>".
Result<void> writeProtected(std::string_view data, const std::string& target);

}  // namespace vela::AgentPaths
