#include <iostream>

#include "config/agent_config.h"
#include "net/pinned_trust.h"
#include "runtime/client_identity_loader.h"
#include "runtime/command_handlers.h"
#include "update/update_checker.h"
#include "util/agent_version.h"
#include "util/process_info.h"

namespace vela::CLI {

Result<int> updateCommand(Args args) {
  bool apply = removeFlag(args, "--apply");
  AgentConfig config = VELA_TRY(AgentConfig::load());
  PinnedTrust trust = VELA_TRY(PinnedTrust::load());
  auto base = config.baseURL();
  if (!base) return fail("invalid server URL");
  UpdateChecker checker(*base, trust, loadStoredClientIdentity());

  auto outcome = VELA_TRY(checker.check(config.channel, std::string(AgentVersion::current)));
  if (!outcome) {
    std::cout << "up to date (" << AgentVersion::current << ")\n";
    return 0;
  }
  std::cout << "update available: " << outcome->version << " (current " << AgentVersion::current << ")\n";
  if (!apply) {
    std::cout << "run `vela-agent update --apply` to download, verify, and install\n";
    return 0;
  }
  std::cout.flush();
  std::string staged = VELA_TRY(checker.downloadAndVerify(*outcome));
  std::string installed = ProcessInfo::executablePath();
  if (installed.empty()) return fail("cannot determine installed path");
  std::cout << "verified + staged at " << staged << "; applying to " << installed << "\n";
  std::cout.flush();
  VELA_TRY_VOID(checker.applyAndRelaunch(staged, installed));
  return 0;
}

}  // namespace vela::CLI
