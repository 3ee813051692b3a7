#pragma once

#include <optional>
#include <string>

namespace vela {
struct ProvisioningInfo;
}

namespace vela::SetupWizard {

// The global provisioning options of the command line.
struct Flags {
  std::optional<std::string> serverBaseURL;
  std::optional<std::string> tenantID;
  std::optional<std::string> customerID;
  std::optional<std::string> enrollmentToken;
  std::optional<std::string> channel;
  bool nonInteractive = false;

  // The five values with the server normalised; source "flags", or "" when none is set.
  // Defined with SetupWizard (config/setup_wizard.h).
  ProvisioningInfo asProvisioning() const;

  bool operator==(const Flags&) const = default;
};

}  // namespace vela::SetupWizard
