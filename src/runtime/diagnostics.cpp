#include "runtime/diagnostics.h"

#include "config/setup_wizard.h"
#include "identity/cert_store.h"
#include "util/agent_crypto.h"

namespace vela::Diagnostics {

std::optional<std::string> certificateOnDiskFingerprint() {
  auto cert = CertStore::loadCertificate();
  if (!cert) return std::nullopt;
  return AgentCrypto::sha256Hex(certificateDER(*cert));
}

ProvisioningInfo discoverable() {
  return SetupWizard::merged(SetupWizard::Flags{}, std::nullopt, std::nullopt);
}

}  // namespace vela::Diagnostics
