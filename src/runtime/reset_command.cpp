#include <unistd.h>

#include <iostream>
#include <string>

#include "commands/replay_store.h"
#include "config/agent_paths.h"
#include "identity/cert_store.h"
#include "identity/device_key.h"
#include "platform/file_io.h"
#include "runtime/command_handlers.h"
#include "util/text_fields.h"

namespace vela::CLI {
namespace {

// Asked on a terminal only; anything but "y" or "yes" keeps everything.
bool confirmed() {
  std::cout << "This removes the device key, certificate, configuration and replay state in "
            << AgentPaths::stateDir() << "; the machine must enrol again afterwards.\nContinue? [y/N] ";
  std::cout.flush();
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  const std::string word(TextFields::trim(answer));
  return word == "y" || word == "Y" || word == "yes" || word == "YES" || word == "Yes";
}

}  // namespace

// Every step is best effort: a machine that was never enrolled resets cleanly too.
Result<int> resetCommand(Args args) {
  const bool yes = removeFlag(args, "--yes") || removeFlag(args, "-y");
  if (!yes) {
    if (::isatty(STDIN_FILENO) != 1) {
      return fail("reset removes the device key, certificate and configuration; run it on a terminal "
                  "to confirm, or pass --yes");
    }
    if (!confirmed()) {
      std::cout << "Nothing was removed.\n";
      return 1;
    }
  }
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
