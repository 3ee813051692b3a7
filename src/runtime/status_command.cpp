#include <ctime>
#include <iostream>
#include <vector>

#include "config/agent_config.h"
#include "config/agent_paths.h"
#include "identity/device_key.h"
#include "net/pinned_trust.h"
#include "runtime/command_handlers.h"
#include "runtime/daemon_state.h"
#include "runtime/diagnostics.h"
#include "util/agent_version.h"
#include "util/canonical_json.h"

namespace vela::CLI {
namespace {

JSONValue optionalText(const std::optional<std::string>& text) { return text ? JSONValue(*text) : JSONValue(); }

// What keeps a decodable configuration from running (the daemon exits with 78).
std::vector<std::string> problemsOf(const AgentConfig& config) {
  std::vector<std::string> problems;
  if (auto problem = config.serverProblem()) problems.push_back(*problem);
  if (auto trust = PinnedTrust::load(); !trust) problems.push_back(trust.error().description());
  return problems;
}

int printJSON(const Result<std::optional<AgentConfig>>& stored, const DaemonState::Seen& daemon) {
  JSONValue out{{"version", AgentVersion::current},
                {"state_dir", AgentPaths::stateDir()},
                {"configured", stored && stored->has_value()},
                {"config_error", stored ? JSONValue() : JSONValue(stored.error().message)},
                {"config", nullptr},
                {"problems", JSONValue::array()},
                {"certificate_on_disk", optionalText(Diagnostics::certificateOnDiskFingerprint())},
                {"device_key", nullptr},
                {"daemon", DaemonState::json(daemon)}};
  if (stored && *stored) {
    const AgentConfig& c = **stored;
    out.set("config", JSONValue{{"server", c.serverBaseURL},
                                {"tenant", optionalText(c.tenantID)},
                                {"customer", optionalText(c.customerID)},
                                {"channel", c.channel},
                                {"enrolled", c.agentID.has_value()},
                                {"agent_id", optionalText(c.agentID)},
                                {"cert_fingerprint", optionalText(c.certFingerprint)},
                                {"cert_not_after", optionalText(c.certNotAfter)}});
    JSONValue problems = JSONValue::array();
    for (const std::string& problem : problemsOf(c)) problems.append(problem);
    out.set("problems", std::move(problems));
  }
  if (auto key = DeviceKey::load()) out.set("device_key", std::string(DeviceKey::rawValue(key->backing())));
  std::cout << CanonicalJSON::encode(out) << "\n";
  std::cout.flush();
  return stored && *stored ? 0 : 1;
}

}  // namespace

Result<int> statusCommand(Args args) {
  const bool json = removeFlag(args, "--json");
  auto stored = AgentConfig::loadStored();
  const DaemonState::Seen daemon = DaemonState::read();
  if (json) return printJSON(stored, daemon);
  std::ostream& out = std::cout;
  const std::string daemonLine = "daemon: " + DaemonState::describe(daemon, std::time(nullptr)) + "\n";
  // Without a usable configuration only a daemon that runs anyway (idling until it is
  // configured) is worth a line.
  const std::string idleDaemon = daemon.pid ? daemonLine : "";
  if (!stored) {
    out << "error: " << stored.error().message << "\n" << idleDaemon;
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
    out << idleDaemon;
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
  // What stops the daemon from starting (it exits with 78 and is not restarted).
  for (const std::string& problem : problemsOf(c)) out << "  problem:     " << problem << "\n";
  out << "  " << daemonLine;
  if (const JSONValue* error = daemon.status["last_error"]; error && error->stringAt("message")) {
    const std::string* at = error->stringAt("at");
    out << "  last error:  " << (at ? *at + " " : "") << *error->stringAt("message") << "\n";
  }
  out.flush();
  return 0;
}

}  // namespace vela::CLI
