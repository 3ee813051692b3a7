#include <iostream>

#include "config/agent_config.h"
#include "config/agent_paths.h"
#include "identity/device_key.h"
#include "runtime/command_handlers.h"
#include "runtime/diagnostics.h"
#include "util/agent_version.h"

namespace vela::CLI {

Result<int> statusCommand(Args) {
  auto stored = AgentConfig::loadStored();
  std::ostream& out = std::cout;
  if (!stored) {
    out << "error: " << stored.error().message << "\n";
    out.flush();
    return 1;
  }
  const std::optional<AgentConfig>& config = *stored;
  if (!config) {
    out << "not configured. Run `vela-agent setup` or deploy a provisioning-named binary.\n";
    ProvisioningInfo info = Diagnostics::discoverable();
    if (!info.isEmpty()) {
      out << "\nDiscoverable from filename/env:\n"
          << "  source:   " << info.source << "\n"
          << "  server:   " << info.serverBaseURL.value_or("-") << "\n"
          << "  tenant:   " << info.tenantID.value_or("-") << "\n"
          << "  customer: " << info.customerID.value_or("-") << "\n";
    }
    out.flush();
    return 1;
  }
  const AgentConfig& c = *config;
  out << AgentVersion::banner << "\n"
      << "  state dir:   " << AgentPaths::stateDir() << "\n"
      << "  server:      " << c.serverBaseURL << "\n"
      << "  tenant:      " << c.tenantID.value_or("-") << "\n"
      << "  customer:    " << c.customerID.value_or("-") << "\n"
      << "  channel:     " << c.channel << "\n"
      << "  enrolled:    " << (c.agentID ? "yes" : "no") << "\n";
  if (c.agentID) out << "  agent_id:    " << *c.agentID << "\n";
  if (c.certFingerprint) out << "  cert fp:     " << *c.certFingerprint << "\n";
  if (c.certNotAfter) out << "  cert expires:" << *c.certNotAfter << "\n";
  if (auto fingerprint = Diagnostics::certificateOnDiskFingerprint()) {
    out << "  cert on disk: yes (fp " << *fingerprint << ")\n";
  } else {
    out << "  cert on disk: no\n";
  }
  auto key = DeviceKey::load();
  out << "  device key:  " << (key ? DeviceKey::rawValue(key->backing()) : "none") << "\n"
      << "  keychain:    " << Diagnostics::kKeychain << "\n";
  out.flush();
  return 0;
}

}  // namespace vela::CLI
