#include <iostream>

#include "commands/replay_store.h"
#include "config/agent_paths.h"
#include "identity/cert_store.h"
#include "identity/device_key.h"
#include "platform/file_io.h"
#include "runtime/command_handlers.h"

namespace vela::CLI {

// Every step is best effort: a machine that was never enrolled resets cleanly too.
Result<int> resetCommand() {
  if (auto key = DeviceKey::load()) (void)key->deleteKey();
  CertStore::clear();
  ReplayStore(AgentPaths::replayStateFile()).clear();
  (void)platform::removeFile(AgentPaths::configFile());
  // A writer killed mid-write leaves a full copy of what it wrote, a private key
  // included.
  AgentPaths::removeStaleTemporaries();
  std::cout << "Reset complete: device key, certificate, config, and replay state removed.\n";
  return 0;
}

}  // namespace vela::CLI
