#include <iostream>

#include "config/agent_config.h"
#include "config/agent_paths.h"
#include "identity/device_key.h"
#include "net/pinned_trust.h"
#include "net/proxy_rule.h"
#include "runtime/command_handlers.h"
#include "runtime/diagnostics.h"
#include "util/agent_version.h"
#include "util/hex.h"
#include "util/url.h"

namespace vela::CLI {
namespace {

constexpr std::string_view kPass = "\u2713";
constexpr std::string_view kFail = "\u2717";
constexpr std::string_view kInfo = "\u00B7";

void check(std::ostream& out, std::string_view mark, std::string_view label, std::string_view detail) {
  out << "  [" << mark << "] " << label << ": " << detail << "\n";
}

// The route every connection to the server takes, never with the proxy's credentials.
bool checkProxy(std::ostream& out, const std::optional<std::string>& serverHost) {
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

Result<int> doctorCommand() {
  std::ostream& out = std::cout;
  out << AgentVersion::banner << " \u2014 doctor\n"
      << "  state dir: " << AgentPaths::stateDir() << "\n"
      << "  keychain:  " << Diagnostics::kKeychain << "\n";

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

  bool passed = configPassed && trustPassed && proxyPassed;
  out << (passed ? "\nAll critical checks passed.\n" : "\nSome checks failed \u2014 see above.\n");
  out.flush();
  return passed ? 0 : 1;
}

}  // namespace vela::CLI
