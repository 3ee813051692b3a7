#include <iostream>

#include "config/agent_config.h"
#include "config/agent_paths.h"
#include "identity/device_key.h"
#include "net/pinned_trust.h"
#include "runtime/command_handlers.h"
#include "runtime/diagnostics.h"
#include "util/agent_version.h"
#include "util/hex.h"

namespace vela::CLI {
namespace {

constexpr std::string_view kPass = "\u2713";
constexpr std::string_view kFail = "\u2717";
constexpr std::string_view kInfo = "\u00B7";

void check(std::ostream& out, std::string_view mark, std::string_view label, std::string_view detail) {
  out << "  [" << mark << "] " << label << ": " << detail << "\n";
}

}  // namespace

Result<int> doctorCommand() {
  std::ostream& out = std::cout;
  out << AgentVersion::banner << " \u2014 doctor\n"
      << "  state dir: " << AgentPaths::stateDir() << "\n"
      << "  keychain:  " << Diagnostics::kKeychain << "\n";

  bool configPassed = false;
  auto stored = AgentConfig::loadStored();
  if (!stored) {
    check(out, kFail, "config", stored.error().message);
  } else if (const std::optional<AgentConfig>& config = *stored) {
    configPassed = !config->serverBaseURL.empty();
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

  bool passed = configPassed && trustPassed;
  out << (passed ? "\nAll critical checks passed.\n" : "\nSome checks failed \u2014 see above.\n");
  out.flush();
  return passed ? 0 : 1;
}

}  // namespace vela::CLI
