#include <ctime>
#include <iostream>
#include <vector>

#include "config/agent_config.h"
#include "config/agent_paths.h"
#include "identity/device_key.h"
#include "net/pinned_trust.h"
#include "net/proxy_rule.h"
#include "runtime/command_handlers.h"
#include "runtime/daemon_state.h"
#include "util/canonical_json.h"
#include "runtime/diagnostics.h"
#include "util/agent_version.h"
#include "util/hex.h"
#include "util/url.h"

namespace vela::CLI {
namespace {

constexpr std::string_view kPass = "\u2713";
constexpr std::string_view kFail = "\u2717";
constexpr std::string_view kInfo = "\u00B7";

struct Check {
  std::string_view mark;
  std::string label;
  std::string detail;
};

// Collects the checks; printed as lines or as one JSON document at the end.
struct Checks {
  std::vector<Check> all;
};

void check(Checks& out, std::string_view mark, std::string_view label, std::string_view detail) {
  out.all.push_back({mark, std::string(label), std::string(detail)});
}

std::string_view resultName(std::string_view mark) {
  return mark == kPass ? "pass" : mark == kFail ? "fail" : "info";
}

// The route every connection to the server takes, never with the proxy's credentials.
bool checkProxy(Checks& out, const std::optional<std::string>& serverHost) {
  ProxyRule rule = ProxyRule::fromEnvironment();
  // Direct connections are the usual case and need no line of their own.
  if (!rule.configured()) return true;
  auto route = serverHost ? rule.routeFor(*serverHost) : rule.proxy();
  if (!route) {
    check(out, kFail, "proxy", route.error().message);
    return false;
  }
  if (!*route) {
    check(out, kInfo, "proxy", "none for " + *serverHost + " (no_proxy)");
    return true;
  }
  const Proxy& proxy = **route;
  check(out, kPass, "proxy",
        proxy.displayURL + " from " + proxy.variable + (proxy.hasCredentials ? ", with credentials" : "") +
            (serverHost ? " (server and gateway)" : ""));
  return true;
}

}  // namespace

Result<int> doctorCommand(Args args) {
  const bool json = removeFlag(args, "--json");
  Checks out;

  bool configPassed = false;
  std::optional<std::string> serverHost;
  auto stored = AgentConfig::loadStored();
  if (!stored) {
    check(out, kFail, "config", stored.error().message);
  } else if (const std::optional<AgentConfig>& config = *stored) {
    configPassed = !config->serverBaseURL.empty();
    if (auto url = URL::parse(config->serverBaseURL)) serverHost = url->host;
    check(out, configPassed ? kPass : kFail, "config",
          "server=" + config->serverBaseURL + " tenant=" + config->tenantID.value_or("-") +
              " customer=" + config->customerID.value_or("-"));
    if (config->agentID) {
      check(out, kPass, "enrolled", "agent " + *config->agentID);
    } else {
      check(out, kInfo, "enrolled", "not yet (enrolls on first run if a token is present)");
    }
  } else {
    ProvisioningInfo info = Diagnostics::discoverable();
    check(out, kFail, "config",
          info.isEmpty() ? "absent and nothing discoverable from filename/env"
                         : "absent; discoverable from " + info.source);
  }

  bool trustPassed = false;
  if (auto trust = PinnedTrust::load()) {
    trustPassed = true;
    check(out, kPass, "TLS trust",
          trust->pinsInternalCA()
              ? "internal CA pinned (" + std::to_string(trust->caCertificates.size()) + " certificate(s))"
              : "system trust + " + std::to_string(trust->spkiPins.size()) + " SPKI leaf pin(s)");
    const auto& raw = trust->commandPublicKey.rawRepresentation();
    check(out, kPass, "command key", "ed25519 " + Hex::encode(std::span(raw.data(), 4)) + "\u2026");
    check(out, kPass, "update key",
          "ed25519 " + trust->updatePublicKeyBase64.substr(0, 10) + "\u2026");
  } else {
    check(out, kFail, "pinned trust", trust.error().description());
  }

  bool proxyPassed = checkProxy(out, serverHost);

  if (DeviceKey::load()) {
    check(out, kPass, "device key", "present");
  } else {
    check(out, kInfo, "device key", "absent (created on first enroll)");
  }
  if (Diagnostics::certificateOnDiskFingerprint()) {
    check(out, kPass, "certificate", "present");
  } else {
    check(out, kInfo, "certificate", "absent (issued on enroll)");
  }

  const DaemonState::Seen daemon = DaemonState::read();

  bool passed = configPassed && trustPassed && proxyPassed;
  if (json) {
    JSONValue checks = JSONValue::array();
    for (const Check& c : out.all) {
      checks.append(JSONValue{{"name", c.label}, {"result", resultName(c.mark)}, {"detail", c.detail}});
    }
    std::cout << CanonicalJSON::encode(JSONValue{{"version", AgentVersion::current},
                                                 {"state_dir", AgentPaths::stateDir()},
                                                 {"passed", passed},
                                                 {"checks", std::move(checks)},
                                                 {"daemon", DaemonState::json(daemon)}})
              << "\n";
    std::cout.flush();
    return passed ? 0 : 1;
  }
  std::ostream& text = std::cout;
  text << AgentVersion::banner << " \u2014 doctor\n"
       << "  state dir: " << AgentPaths::stateDir() << "\n"
       << "  keychain:  " << Diagnostics::kKeychain << "\n";
  for (const Check& c : out.all) text << "  [" << c.mark << "] " << c.label << ": " << c.detail << "\n";
  text << (passed ? "\nAll critical checks passed.\n" : "\nSome checks failed \u2014 see above.\n");
  text.flush();
  return passed ? 0 : 1;
}

}  // namespace vela::CLI
